// tabulon info FILE: what a file holds, as text or one JSON object.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "format_choice.h"
#include "json_out.h"
#include "report.h"
#include "session.h"
#include "tabulon/tabulon.h"

namespace cli {

namespace {

const char* type_name(int32_t ttype_minus_one) {
  static const char* names[] = {"string", "byte", "int", "long", "float", "double", "date", "time", "datetime"};
  return ttype_minus_one >= 0 && ttype_minus_one < 9 ? names[ttype_minus_one] : "undefined";
}

struct ValueLabel {
  bool numeric = true;
  double value = 0;
  std::string text;
  std::string label;
};

struct VarInfo {
  std::string name, label, type, missing, format, measure;
  int32_t width = 0, decimals = 0;
  std::vector<ValueLabel> value_labels;
};

// Terminal columns of one code point: two for the wide East Asian scripts, none for combining
// marks and zero-width characters, one otherwise.
int code_point_columns(uint32_t cp) {
  if ((cp >= 0x0300 && cp <= 0x036F) || (cp >= 0x200B && cp <= 0x200F) || (cp >= 0xFE00 && cp <= 0xFE0F)) return 0;
  if ((cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0x303E) || (cp >= 0x3041 && cp <= 0x33FF) ||
      (cp >= 0x3400 && cp <= 0x4DBF) || (cp >= 0x4E00 && cp <= 0x9FFF) || (cp >= 0xA000 && cp <= 0xA4CF) ||
      (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) || (cp >= 0xFE30 && cp <= 0xFE4F) ||
      (cp >= 0xFF00 && cp <= 0xFF60) || (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x1F300 && cp <= 0x1F64F) ||
      (cp >= 0x1F900 && cp <= 0x1F9FF) || (cp >= 0x20000 && cp <= 0x3FFFD))
    return 2;
  return 1;
}

// Terminal columns of a UTF-8 text (a byte that starts no valid sequence counts one).
size_t columns(const std::string& s) {
  size_t n = 0;
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const size_t len = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    if (len == 1 || i + len > s.size()) {
      n += 1;
      ++i;
      continue;
    }
    uint32_t cp = c & (0xFF >> (len + 1));
    for (size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    n += static_cast<size_t>(code_point_columns(cp));
    i += len;
  }
  return n;
}

std::string pad(const std::string& s, size_t width) {
  size_t c = columns(s);
  return c >= width ? s : s + std::string(width - c, ' ');
}

std::string number_text(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15g", v);
  return buf;
}

}  // namespace

int run_info(const CliOptions& opts) {
  const DatabaseSource db = database_source(opts.files[0]);
  const std::string& path = db.is_database ? db.connection : opts.files[0];
  std::string error;
  Reporter& rep = reporter();
  rep.verbose = opts.verbose;
  rep.quiet = opts.quiet;
  rep.file = db.is_database ? db.display : path;
  if (std::string why = db.is_database ? "" : input_problem(path); !why.empty()) {
    say_error(path, why);
    return kExitFailure;
  }
  int code = db.is_database ? kOdbcCode
             : opts.from.empty() ? format_from_path(path, false, error)
                                 : format_from_user(opts.from, false, error);
  if (code < 0) {
    say_error(path, error);
    return kExitUsage;
  }
  if (std::string why = db.is_database ? "" : format_mismatch(path, code); !why.empty()) {
    say_error(path, why);
    return kExitFailure;
  }
  Session session(opts);
  if (!session.ok()) return session.fail("the library could not open an environment");
  if (!session.set_keywords(opts.sets, error) || !session.apply_options(0, error)) {
    say_error("", error);
    return kExitUsage;
  }
  int32_t env = session.env();
  int32_t open_rc = DX_OpenInputFile(env, code, path.c_str());
  if (open_rc <= -12) {
    say_error(path, "unknown input encoding (see -s in-encoding)");
    return kExitUsage;
  }
  if (open_rc < 0) return session.fail("cannot be opened");
  std::vector<std::string> members;
  if (DX_FormatHasMembers(env) == 1) {
    int32_t n = DX_ReadMembers(env);
    if (db.is_database && opts.member.empty()) {
      // A database without a chosen table: its tables and views.
      for (int32_t k = 0; k < n; ++k) {
        char name[1024] = {};
        if (DX_GetMemberName(env, k, name) >= 0) std::printf("%s\n", name);
      }
      return kExitOk;
    }
    if (n < 1) return session.fail("holds no member to read");
    for (int32_t k = 0; k < n; ++k) {
      char name[1024] = {};
      if (DX_GetMemberName(env, k, name) >= 0) members.emplace_back(name);
    }
    int32_t rc = opts.member.empty() ? DX_SetFirstMember(env) : DX_SetMember(env, opts.member.c_str());
    if (rc < 0) {
      std::string list;
      for (const auto& m : members) list += (list.empty() ? "" : ", ") + m;
      say_error(path, "no member '" + opts.member + "'; its members are: " + list);
      return kExitUsage;
    }
  }
  const std::string member = opts.member.empty() ? (members.empty() ? "" : members[0]) : opts.member;
  int32_t nvars = DX_ReadDict(env);
  if (nvars < 0) return session.fail("the dictionary cannot be read");

  int32_t ncases = DX_GetNCases(env);
  std::string data_label;
  {
    char buf[1024] = {};
    int32_t n = sizeof buf;
    if (DX_GetDatasetInfo(env, 1, &n, buf) == 0) data_label = buf;
  }
  std::vector<VarInfo> vars;
  for (int32_t i = 0; i < nvars; ++i) {
    VarInfo v;
    const char* name = DX_GetVarName(env, i);
    const char* label = DX_GetVarLabel(env, i);
    v.name = name ? name : "";
    v.label = label ? label : "";
    v.type = type_name(DX_GetTType(env, i));
    v.width = DX_GetVarPrintWidth(env, i);
    v.decimals = DX_GetVarNDec(env, i);
    char text_buf[1024] = {};
    if (dxi_var_describe(env, i, 1, text_buf, sizeof text_buf) > 0) v.missing = text_buf;
    if (dxi_var_describe(env, i, 2, text_buf, sizeof text_buf) > 0) v.format = text_buf;
    if (dxi_var_describe(env, i, 3, text_buf, sizeof text_buf) > 0) v.measure = text_buf;
    int32_t nlabels = DX_GetNValueLabels(env, i);
    for (int32_t k = 0; k < nlabels; ++k) {
      ValueLabel vl;
      char text[1024] = {};
      char lab[1024] = {};
      int32_t kind = DX_GetValueLabelExt(env, k, &vl.value, text, lab, sizeof lab - 1);
      if (kind < 0) break;
      vl.numeric = kind == 1;
      vl.text = text;
      vl.label = lab;
      v.value_labels.push_back(std::move(vl));
    }
    // The keys of one variable's labels keep one JSON type: text as soon as one key is text.
    bool any_text = false;
    for (const ValueLabel& vl : v.value_labels) any_text = any_text || !vl.numeric;
    if (any_text)
      for (ValueLabel& vl : v.value_labels)
        if (vl.numeric) {
          vl.text = number_text(vl.value);
          vl.numeric = false;
        }
    vars.push_back(std::move(v));
  }
  // What the file says about itself, in the order shown; empty facts are left out of the text.
  struct Fact {
    const char* key;
    const char* title;
    std::string text;
  };
  std::vector<Fact> facts = {{"release", "Release", ""},     {"encoding", "Encoding", ""},
                             {"compression", "Compression", ""}, {"byte_order", "Byte order", ""},
                             {"created", "Created", ""},     {"modified", "Modified", ""},
                             {"software", "Software", ""}};
  const int32_t fact_numbers[] = {2, 1, 3, 4, 5, 6, 7};
  for (size_t k = 0; k < facts.size(); ++k) {
    char buf[1024] = {};
    if (dxi_dataset_describe(env, fact_numbers[k], buf, sizeof buf) > 0) facts[k].text = buf;
  }
  const FormatInfo* f = format_by_code(code);
  std::string format_name = f ? f->name : std::to_string(code);

  if (opts.json) {
    std::string o = "{";
    o += "\"file\":" + json_string(path);
    o += ",\"format\":" + json_string(format_name);
    o += ",\"format_code\":" + std::to_string(code);
    o += ",\"cases\":" + (ncases < 0 ? std::string("null") : std::to_string(ncases));
    o += ",\"label\":" + json_string(data_label);
    if (!member.empty()) o += ",\"member\":" + json_string(member);
    // Every key is always there, a text or null, so that each keeps one JSON type.
    for (const Fact& fact : facts)
      o += ",\"" + std::string(fact.key) + "\":" + (fact.text.empty() ? std::string("null") : json_string(fact.text));
    if (!members.empty()) {
      o += ",\"members\":[";
      for (size_t k = 0; k < members.size(); ++k) o += (k ? "," : "") + json_string(members[k]);
      o += "]";
    }
    o += ",\"variables\":[";
    for (size_t i = 0; i < vars.size(); ++i) {
      const VarInfo& v = vars[i];
      if (i) o += ",";
      o += "{\"name\":" + json_string(v.name) + ",\"type\":" + json_string(v.type) +
           ",\"width\":" + std::to_string(v.width) + ",\"decimals\":" + std::to_string(v.decimals) +
           ",\"label\":" + json_string(v.label) + ",\"format\":" + json_string(v.format) +
           ",\"missing\":" + json_string(v.missing) +
           ",\"measure\":" + (v.measure.empty() ? std::string("null") : json_string(v.measure)) +
           ",\"value_labels\":[";
      for (size_t k = 0; k < v.value_labels.size(); ++k) {
        const ValueLabel& vl = v.value_labels[k];
        if (k) o += ",";
        o += "{\"value\":" + (vl.numeric ? number_text(vl.value) : json_string(vl.text)) +
             ",\"label\":" + json_string(vl.label) + "}";
      }
      o += "]}";
    }
    o += "]}";
    std::printf("%s\n", o.c_str());
    return kExitOk;
  }

  // Titles padded to one column (the longest is "Compression:").
  auto line = [](const char* title, const std::string& text) {
    std::printf("%s %s\n", pad(std::string(title) + ":", 12).c_str(), text.c_str());
  };
  line("File", path);
  line("Format", format_name + " (" + std::to_string(code) + ")");
  for (const Fact& fact : facts)
    if (!fact.text.empty()) line(fact.title, fact.text);
  if (!member.empty()) line("Member", member);
  line("Cases", ncases >= 0 ? std::to_string(ncases) : std::string("unknown"));
  if (!data_label.empty()) line("Label", data_label);
  if (members.size() > 1) {
    std::string list;
    for (const auto& m : members) list += (list.empty() ? "" : ", ") + m;
    line("Members", list);
  }
  line("Variables", std::to_string(nvars));
  std::printf("\n");
  size_t name_w = 4, format_w = 6, missing_w = 7, measure_w = 0;
  for (const VarInfo& v : vars) {
    name_w = std::max(name_w, columns(v.name));
    format_w = std::max(format_w, columns(v.format));
    missing_w = std::max(missing_w, columns(v.missing));
    measure_w = std::max(measure_w, columns(v.measure));
  }
  // The measure column only where the file records measurement levels.
  if (measure_w) measure_w = std::max<size_t>(measure_w, 7);
  auto measure_cell = [&](const std::string& m) { return measure_w ? pad(m, measure_w) + " " : std::string(); };
  std::printf("  %-4s %s %-9s %5s %4s  %s%s %s %s\n", "#", pad("name", name_w).c_str(), "type", "width", "dec",
              measure_cell("measure").c_str(), pad("format", format_w).c_str(), pad("missing", missing_w).c_str(),
              "label");
  for (size_t i = 0; i < vars.size(); ++i) {
    const VarInfo& v = vars[i];
    std::printf("  %-4zu %s %-9s %5d %4d  %s%s %s %s\n", i + 1, pad(v.name, name_w).c_str(), v.type.c_str(), v.width,
                v.decimals, measure_cell(v.measure).c_str(), pad(v.format, format_w).c_str(),
                pad(v.missing, missing_w).c_str(), v.label.c_str());
    for (const ValueLabel& vl : v.value_labels)
      std::printf("  %4s %s %s = %s\n", "", std::string(name_w, ' ').c_str(),
                  vl.numeric ? number_text(vl.value).c_str() : vl.text.c_str(), vl.label.c_str());
  }
  return kExitOk;
}

}  // namespace cli
