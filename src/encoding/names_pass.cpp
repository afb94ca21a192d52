#include "encoding/names_pass.h"

#include <cstring>
#include <string>
#include <vector>

#include "api/env_record.h"
#include "api/messages.h"
#include "dict/dictionary.h"
#include "encoding/case_map.h"
#include "encoding/transcode.h"

namespace tabulon {

int32_t convert_input_names(EnvRecord& env) {
  if (!input_names_convertible(env)) return 0;
  ConverterSlot& slot = env.encoding.input[0];
  DictState& d = env.dict;
  char out[kMaxVarName + 1];
  int32_t done = 0;
  for (int32_t i = 0; i < dict_count(d); ++i) {
    VarRecord* v = dict_var(d, i);
    TranscodeCall call;
    call.context = "Error encoding input variable name, ";
    call.variable = i + 1;
    int64_t n = transcode_string(env, slot, v->name.data(), v->name.size(), out, sizeof out, call);
    var_set_name(*v, std::string_view(out, static_cast<size_t>(n)));
    ++done;
  }
  return done;
}

int32_t convert_output_names(EnvRecord& env, bool labels, bool value_labels) {
  if (!output_names_convertible(env)) return 0;
  ConverterSlot& slot = env.encoding.output[0];
  DictState& d = env.dict;
  int32_t done = 0;
  for (int32_t i = 0; i < dict_count(d); ++i) {
    VarRecord* v = dict_var(d, i);
    if (!v->selected) continue;
    TranscodeCall call;
    call.variable = i + 1;
    call.context = "Error encoding output variable name, ";
    std::string name = transcode_to_string(env, slot, v->name.data(), v->name.size(), call);
    const std::string original = v->name;
    var_set_name(*v, name);
    var_set_input_name(*v, original);
    ++done;
  }
  if (labels) {
    emit_message(env, MsgKind::Lib, "<Output variable labels be converted.>");
    for (int32_t i = 0; i < dict_count(d); ++i) {
      VarRecord* v = dict_var(d, i);
      if (!v->selected || v->label.empty()) continue;
      TranscodeCall call;
      call.variable = i + 1;
      call.context = "Error encoding output variable label, ";
      var_set_label(*v, transcode_to_string(env, slot, v->label.data(), v->label.size(), call));
    }
  }
  if (value_labels) {
    emit_message(env, MsgKind::Lib, "<Output value names be converted.>");
    for (int32_t i = 0; i < dict_count(d); ++i) {
      VarRecord* v = dict_var(d, i);
      if (!v->selected || v->value_labels.empty()) continue;
      size_t dropped = 0;
      std::vector<ValueLabel> kept;
      kept.reserve(v->value_labels.size());
      for (ValueLabel& vl : v->value_labels) {
        TranscodeCall call;
        call.variable = i + 1;
        call.context = "Error encoding output value label, ";
        vl.label = transcode_to_string(env, slot, vl.label.data(), vl.label.size(), call);
        if (vl.has_text) {
          call.context = "Error encoding output value value, ";
          vl.text = transcode_to_string(env, slot, vl.text.data(), vl.text.size(), call);
        }
        if (vl.label.empty()) {
          ++dropped;
          continue;
        }
        kept.push_back(std::move(vl));
      }
      v->value_labels = std::move(kept);
      if (dropped == 1)
        emit_messagef(env, MsgKind::Warning,
                      "One of the value labels assigned to the variable [%s] was excluded from the transfer since "
                      "Tabulon does not allow empty value labels.",
                      v->name.c_str());
      else if (dropped > 1)
        emit_messagef(env, MsgKind::Warning,
                      "%zu value labels assigned to the variable [%s] were excluded from the transfer since Tabulon "
                      "does not allow empty value labels.",
                      dropped, v->name.c_str());
    }
  }
  return done;
}

namespace {

// Bytes of the first `chars` characters of s (at least chars).
int32_t bytes_of_chars(const std::string& s, int32_t chars) {
  size_t i = 0;
  int32_t c = 0;
  while (i < s.size() && c < chars) {
    uint32_t cp;
    int n = utf8_decode(reinterpret_cast<const unsigned char*>(s.data() + i), s.size() - i, &cp);
    i += n > 0 ? static_cast<size_t>(n) : 1;
    ++c;
  }
  return static_cast<int32_t>(i) + (chars - c);
}

}  // namespace

int32_t legalize_dictionary_names(EnvRecord& env, const NameRules& rules, int32_t format_code, bool ascii_only,
                                  int32_t max_len, int32_t width, int32_t flags) {
  LegalizeContext ctx;
  ctx.format_code = format_code;
  ctx.noun = rules.noun ? rules.noun : "var. names";
  ctx.quiet_case = (flags & kMangleQuietCase) != 0;
  if (&rules == &kRulesXmlTag) {
    ctx.no_unique = true;
    ctx.prefix = "The original name of tag name [";
    emit_message(env, MsgKind::Lib, "<Tag names will be mangled.>");
  }
  if (ascii_only) {
    if (!env.encoding.output[1].has_descriptor() && open_aux_converter(env, kDirOutput, 1, "UTF-8", "ASCII") != 0)
      return -1;
    ctx.out_slot = &env.encoding.output[1];
  } else {
    ctx.out_slot = &env.encoding.output[0];
  }
  const int32_t limit = rules.max_len > 0 ? rules.max_len : max_len;
  DictState& d = env.dict;
  for (int32_t i = 0; i < dict_count(d); ++i) {
    VarRecord* v = dict_var(d, i);
    if (!v->selected) continue;
    std::string name = v->name;
    int32_t byte_limit = limit;
    if ((flags & kMangleCountChars) && limit > 0) byte_limit = bytes_of_chars(name, limit);
    NameRules r = rules;
    r.max_len = byte_limit;
    int32_t result = legalize_name(env, name, r, ctx, byte_limit);
    if (result == kLegalNoEntry || result == kLegalNoCopy) return -1;
    if (name != v->name) {
      const std::string original = v->name;
      var_set_name(*v, name);
      var_set_input_name(*v, original);
    }
    if (width > 0 && v->is_string() && v->output_width > static_cast<uint32_t>(width))
      emit_messagef(env, MsgKind::Warning, "Variable [%s] will be transformed into several new variables", v->name.c_str());
  }
  env.encoding.names_changed += ctx.changed;
  env.encoding.names_replaced += ctx.replaced;
  legalize_summary(env, ctx);
  return ctx.changed;
}

int32_t legalize_output_names(EnvRecord& env, int32_t max_len, const char* first, const char* middle, const char* last,
                              int32_t case_mode, int32_t format_code) {
  NameRules rules{max_len, case_mode, first, middle, last, "0-9", "var. names"};
  return legalize_dictionary_names(env, rules, format_code, format_code == 14 || format_code == 41, max_len);
}

}  // namespace tabulon
