// A SAS program: value formats by PROC FORMAT, then a DATA step that reads the
// fixed-column data file with column input and attaches lengths, labels and formats.
#include <cctype>

#include "api/env_record.h"
#include "dict/dictionary.h"
#include "formats/text/program_writer.h"
#include "formats/text/schema_reader.h"

namespace tabulon {

namespace {

constexpr size_t kSasLabelMax = 256;
constexpr size_t kSasValueMax = 32767;

std::string sas_quoted(const std::string& s, size_t max) {
  std::string t = s.substr(0, utf8_cut(s.data(), s.size(), max));
  std::string out = "'";
  for (char c : t) {
    if (c == '\n' || c == '\r') c = ' ';
    out += c;
    if (c == '\'') out += '\'';
  }
  return out + "'";
}

// A member name from the output file's base name.
std::string member_name(const std::string& path) {
  std::string base = path.substr(path.find_last_of('/') == std::string::npos ? 0 : path.find_last_of('/') + 1);
  const size_t dot = base.find_last_of('.');
  if (dot != std::string::npos) base.resize(dot);
  std::string out;
  for (char c : base) {
    if (out.size() >= 32) break;
    out += std::isalnum(static_cast<unsigned char>(c)) || c == '_' ? c : '_';
  }
  if (out.empty() || std::isdigit(static_cast<unsigned char>(out[0]))) out.insert(0, "_");
  if (out.size() > 32) out.resize(32);
  return out;
}

std::string informat(int ttype, uint32_t width) {
  return ttype == 7 ? "ddmmyy10." : ttype == 8 ? "time" + std::to_string(width) + "." : "anydtdtm20.";
}
// TIME13. shows durations with their sign and every hour.
const char* display(int ttype) { return ttype == 7 ? "DDMMYY10." : ttype == 8 ? "TIME13." : "DATETIME20."; }

}  // namespace

std::string sas_program(ProgramContext& c) {
  const std::string& e = c.eol;
  std::string p = program_header(c, "SAS");
  const bool notes = c.comments && c.user_header.empty();

  // Value formats, one per set of value labels.
  const std::vector<int> leader = label_set_leaders(c.vars);
  std::vector<std::string> format_of(c.vars.size());
  std::string formats;
  int n = 0;
  for (size_t k = 0; k < c.vars.size(); ++k) {
    if (leader[k] < 0) continue;
    if (leader[k] != static_cast<int>(k)) {
      format_of[k] = format_of[static_cast<size_t>(leader[k])];
      continue;
    }
    const VarRecord& v = *c.vars[k];
    if (v.ttype >= 7) continue;
    const std::string name = (v.is_string() ? "$VL" : "VL") + std::to_string(++n) + "F";
    std::string entries;
    for (const ValueLabel& l : v.value_labels) {
      if (l.missing) continue;
      entries += "    " + (v.is_string() ? sas_quoted(l.text, kSasValueMax) : number_text15(l.value)) + " = " +
                 sas_quoted(l.label, kSasValueMax) + e;
    }
    if (entries.empty()) continue;
    format_of[k] = name + ".";
    formats += "  VALUE " + name + e + entries + "  ;" + e;
  }
  if (!formats.empty()) p += "PROC FORMAT;" + e + formats + "RUN;" + e + e;

  if (notes) p += "/* The INFILE line should contain the complete path and name of your raw data file */" + e;
  p += "DATA " + member_name(c.out_path) + ";" + e;
  p += "  INFILE '" + c.data_path + "' LRECL=" + std::to_string(c.total ? c.total : 1) + " TRUNCOVER;" + e;

  bool strings = false;
  for (const VarRecord* v : c.vars) strings |= v->is_string();
  if (strings) {
    p += "  LENGTH" + e;
    for (size_t k = 0; k < c.vars.size(); ++k)
      if (c.vars[k]->is_string()) p += "    " + c.vars[k]->name + " $ " + std::to_string(c.width[k]) + e;
    p += "  ;" + e;
  }

  p += "  INPUT" + e;
  for (size_t k = 0; k < c.vars.size(); ++k) {
    const VarRecord& v = *c.vars[k];
    const std::string first = std::to_string(c.start[k] + 1), last = std::to_string(c.start[k] + c.width[k]);
    if (v.ttype >= 7 && v.ttype <= 9)
      p += "    @" + first + " " + v.name + " " + informat(v.ttype, c.width[k]) + e;
    else
      p += "    " + v.name + (v.is_string() ? " $ " : " ") + first + "-" + last + e;
  }
  p += "  ;" + e;

  bool labels = false;
  for (const VarRecord* v : c.vars) labels |= !v->label.empty();
  if (labels) {
    p += "  LABEL" + e;
    for (const VarRecord* v : c.vars)
      if (!v->label.empty()) p += "    " + v->name + " = " + sas_quoted(v->label, kSasLabelMax) + e;
    p += "  ;" + e;
  }

  std::string fmt;
  for (size_t k = 0; k < c.vars.size(); ++k) {
    const VarRecord& v = *c.vars[k];
    if (v.ttype >= 7 && v.ttype <= 9)
      fmt += "    " + v.name + " " + display(v.ttype) + e;
    else if (!format_of[k].empty())
      fmt += "    " + v.name + " " + format_of[k] + e;
  }
  if (!fmt.empty()) p += "  FORMAT" + e + fmt + "  ;" + e;

  // SAS has no user-missing values: the data file already holds them as missing.
  std::string notes_missing;
  for (VarRecord* v : c.vars)
    if (input_missing_spec(*c.env, *v)) notes_missing += " " + v->name;
  if (!notes_missing.empty() && notes)
    p += "  /* User-missing values of" + notes_missing + " are written as missing values */" + e;
  p += "RUN;" + e;
  return p;
}

}  // namespace tabulon
