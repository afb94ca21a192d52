// tabulon info FILE: what a file holds, as text or one JSON object.
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "format_choice.h"
#include "json_out.h"
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
  std::string name, label, type;
  int32_t width = 0, decimals = 0;
  std::vector<ValueLabel> value_labels;
};

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
  if (db.is_database) {
    // Checked when the driver connects.
  } else if (access(path.c_str(), F_OK) != 0) {
    std::fprintf(stderr, "Error:\tinput file '%s' does not exist\n", path.c_str());
    return kExitFailure;
  }
  int code = db.is_database ? kOdbcCode
             : opts.from.empty() ? format_from_path(path, false, error)
                                 : format_from_user(opts.from, false, error);
  if (code < 0) {
    std::fprintf(stderr, "tabulon: %s\n", error.c_str());
    return kExitUsage;
  }
  Session session(opts);
  if (!session.ok()) return session.fail("the library could not open an environment");
  if (!session.set_keywords(opts.sets, error)) {
    std::fprintf(stderr, "tabulon: %s\n", error.c_str());
    return kExitUsage;
  }
  session.apply_options(0);
  int32_t env = session.env();
  if (DX_OpenInputFile(env, code, path.c_str()) < 0) return session.fail("cannot open " + opts.files[0]);
  std::string member;
  if (DX_FormatHasMembers(env) == 1) {
    const int32_t members = DX_ReadMembers(env);
    if (db.is_database && opts.member.empty()) {
      // A database without a chosen table: its tables and views.
      for (int32_t k = 0; k < members; ++k) {
        char name[1024] = {};
        if (DX_GetMemberName(env, k, name) >= 0) std::printf("%s\n", name);
      }
      return kExitOk;
    }
    if (members < 1) return session.fail("no member to read in " + path);
    int32_t rc = opts.member.empty() ? DX_SetFirstMember(env) : DX_SetMember(env, opts.member.c_str());
    if (rc < 0) return session.fail("member '" + opts.member + "' not found");
    member = opts.member;
  }
  int32_t nvars = DX_ReadDict(env);
  if (nvars < 0) return session.fail("cannot read the dictionary of " + path);

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
    vars.push_back(std::move(v));
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
    o += ",\"variables\":[";
    for (size_t i = 0; i < vars.size(); ++i) {
      const VarInfo& v = vars[i];
      if (i) o += ",";
      o += "{\"name\":" + json_string(v.name) + ",\"type\":" + json_string(v.type) +
           ",\"width\":" + std::to_string(v.width) + ",\"decimals\":" + std::to_string(v.decimals) +
           ",\"label\":" + json_string(v.label) + ",\"value_labels\":[";
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

  std::printf("File:      %s\n", path.c_str());
  std::printf("Format:    %s (%d)\n", format_name.c_str(), code);
  if (!member.empty()) std::printf("Member:    %s\n", member.c_str());
  if (ncases >= 0)
    std::printf("Cases:     %d\n", ncases);
  else
    std::printf("Cases:     unknown\n");
  if (!data_label.empty()) std::printf("Label:     %s\n", data_label.c_str());
  std::printf("Variables: %d\n\n", nvars);
  std::printf("  %-4s %-24s %-9s %5s %4s  %s\n", "#", "name", "type", "width", "dec", "label");
  for (size_t i = 0; i < vars.size(); ++i) {
    const VarInfo& v = vars[i];
    std::printf("  %-4zu %-24s %-9s %5d %4d  %s\n", i + 1, v.name.c_str(), v.type.c_str(), v.width, v.decimals,
                v.label.c_str());
    for (const ValueLabel& vl : v.value_labels)
      std::printf("  %4s %24s %s = %s\n", "", "", vl.numeric ? number_text(vl.value).c_str() : vl.text.c_str(),
                  vl.label.c_str());
  }
  return kExitOk;
}

}  // namespace cli
