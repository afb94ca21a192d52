#include "formats/sas/sas_format_program.h"
#include "engine/output_files.h"

#include "api/env_record.h"
#include "dict/dictionary.h"
#include "encoding/transcode.h"
#include "formats/text/program_writer.h"
#include "io/stream.h"

namespace tabulon {

namespace {

// A SAS quoted literal: quotes doubled, line breaks made blanks.
std::string quoted(const std::string& s) {
  std::string out = "'";
  out.reserve(s.size() + 2);
  for (char c : s) {
    if (c == '\n' || c == '\r') c = ' ';
    out += c;
    if (c == '\'') out += '\'';
  }
  return out + "'";
}

bool is_date(const VarRecord& v) { return v.ttype == T_DATE || v.ttype == T_TIME || v.ttype == T_DATETIME; }

// The value side of one entry, empty when SAS has no way to write it.
std::string value_text(const VarRecord& v, const ValueLabel& l) {
  if (l.missing) {
    if (v.is_string()) return {};
    const char* t = missing_code_text(static_cast<int>(l.missing));
    return t && *t ? t : std::string();
  }
  return v.is_string() ? quoted(l.text) : number_text15(l.value);
}

bool has_entries(const VarRecord& v) {
  for (const ValueLabel& l : v.value_labels)
    if (!value_text(v, l).empty()) return true;
  return false;
}

}  // namespace

std::vector<std::string> sas_value_format_names(const std::vector<VarRecord*>& vars) {
  const std::vector<int> leader = label_set_leaders(vars);
  std::vector<std::string> names(vars.size());
  int n = 0;
  for (size_t k = 0; k < vars.size(); ++k) {
    if (leader[k] < 0) continue;
    if (leader[k] != static_cast<int>(k)) {
      names[k] = names[static_cast<size_t>(leader[k])];
      continue;
    }
    const VarRecord& v = *vars[k];
    if (is_date(v) || !has_entries(v)) continue;
    names[k] = (v.is_string() ? "$VL" : "VL") + std::to_string(++n) + "F";
  }
  return names;
}

std::string sas_format_program_text(const std::vector<VarRecord*>& vars) {
  const std::vector<std::string> names = sas_value_format_names(vars);
  std::string body;
  std::vector<bool> done(vars.size(), false);
  for (size_t k = 0; k < vars.size(); ++k) {
    if (names[k].empty()) continue;
    bool seen = false;
    for (size_t j = 0; j < k && !seen; ++j) seen = names[j] == names[k];
    if (seen) continue;
    const VarRecord& v = *vars[k];
    body += "  VALUE " + names[k] + "\n";
    for (const ValueLabel& l : v.value_labels) {
      const std::string value = value_text(v, l);
      if (!value.empty()) body += "    " + value + " = " + quoted(l.label) + "\n";
    }
    body += "  ;\n";
  }
  if (body.empty()) return body;
  return "PROC FORMAT;\n" + body + "RUN;\n";
}

bool write_sas_format_program(EnvRecord& env, const std::string& path) {
  std::vector<VarRecord*> vars;
  for (auto& v : env.dict.vars)
    if (v->selected) vars.push_back(v.get());
  std::string text = sas_format_program_text(vars);
  ConverterSlot& slot = env.encoding.output[0];
  if (!text.empty() && !(slot.flags & (kSlotNoConversion | kSlotPassThrough)) && slot.has_descriptor()) {
    TranscodeCall call;
    call.context = "Error encoding output value label, ";
    text = transcode_to_string(env, slot, text.data(), text.size(), call);
  }
  const std::string write_path = engine_side_file(env, path);
  if (write_path.empty()) return false;  // nothing is written beside standard output or a device
  Stream* s = StreamOpenFile(&env, write_path.c_str(), "wb", 1 << 16);
  if (!s) return false;
  const int32_t n = static_cast<int32_t>(text.size());
  bool ok = StreamWrite(s, text.data(), n) == n && !(s->error & STREAM_ERR_WRITE);
  StreamClose(s);
  return ok;
}

}  // namespace tabulon
