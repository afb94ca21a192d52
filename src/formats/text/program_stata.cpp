// A Stata do-file with an infile dictionary that reads the fixed-column data file.
#include <cmath>
#include <cstdio>

#include "api/env_record.h"
#include "dict/dictionary.h"
#include "formats/text/program_writer.h"

#include <algorithm>
#include "formats/text/schema_reader.h"

namespace tabulon {

namespace {

// Stata strings cannot hold a double quote inside "...".
std::string stata_text(const std::string& s) {
  std::string out;
  for (char c : s) out += c == '"' ? '\'' : (c == '\n' || c == '\r') ? ' ' : c;
  return out;
}

const char* storage(const VarRecord& v) {
  switch (v.ttype) {
    case 2: return "byte";
    case 3: return "int";
    case 4: return "long";
    case 6: return "double";
    default: return "float";
  }
}

}  // namespace

void stata_program(ProgramContext& c, const std::string& dct_path, std::string* do_file, std::string* dictionary) {
  const std::string& e = c.eol;
  std::string& p = *do_file;
  p = program_header(c, "Stata");
  const bool notes = c.comments && c.user_header.empty();
  std::string dct = dct_path;
  std::string dta = path_with_extension(c.out_path, ".dta");
  if (c.data_path.find('/') == std::string::npos) {  // paths left out
    dct = dct.substr(dct.find_last_of('/') + 1);
    dta = dta.substr(dta.find_last_of('/') + 1);
  }
  if (notes) p += "/* The following line should contain the complete path and name of your raw data file */" + e;
  p += "local dat_name \"" + c.data_path + "\"" + e;
  if (notes) p += "/* The following line should contain the path to your output '.dta' file */" + e;
  p += "local dta_name \"" + dta + "\"" + e;
  if (notes) p += "/* The following line should contain the path to the data dictionary file */" + e;
  p += "local dct_name \"" + dct + "\"" + e;
  p += "infile using \"`dct_name'\", using(\"`dat_name'\") clear " + e;

  // The dictionary.
  std::string& d = *dictionary;
  d = "infile dictionary {" + e;
  char line[600];
  for (size_t k = 0; k < c.vars.size(); ++k) {
    const VarRecord& v = *c.vars[k];
    const std::string column = "_column(" + std::to_string(c.start[k] + 1) + ")";
    const bool text = v.is_string() || v.ttype >= 7;
    // Dictionaries declare at most str2045; a longer column is read up to that.
    const std::string type = text ? "str" + std::to_string(std::min<uint32_t>(c.width[k], 2045)) : storage(v);
    const std::string fmt = "%" + std::to_string(c.width[k]) + (text ? "s" : "f");
    std::snprintf(line, sizeof line, "  %12s %10s %34s %5s", column.c_str(), type.c_str(), v.name.c_str(), fmt.c_str());
    d += line;
    if (!v.label.empty()) d += "  \"" + stata_text(v.label) + "\"";
    d += e;
  }
  d += "}" + e;

  // Value labels of numeric variables (integer values only).
  bool any_labels = false;
  for (const VarRecord* v : c.vars) {
    if (v->is_string() || v->ttype >= 7 || v->value_labels.empty()) continue;
    std::vector<const ValueLabel*> entries;
    for (const ValueLabel& l : v->value_labels)
      if (!l.missing && l.value == std::floor(l.value) && std::fabs(l.value) < 2147483647.0) entries.push_back(&l);
    if (entries.empty()) continue;
    if (!any_labels) p += "#delimit ;" + e;
    any_labels = true;
    p += " label define " + v->name;
    for (size_t k = 0; k < entries.size(); ++k) {
      std::snprintf(line, sizeof line, "%4d", static_cast<int>(entries[k]->value));
      p += std::string(" ") + line + " \"" + stata_text(entries[k]->label) + "\"";
      if (k + 1 == entries.size()) p += ";";
    }
    p += e;
    p += " label values " + v->name + " " + v->name + " ;" + e;
  }

  // User missing values.
  std::string replaces;
  for (VarRecord* v : c.vars) {
    const MissingSpec* m = input_missing_spec(*c.env, *v);
    if (!m || v->ttype >= 7) continue;
    std::string cond;
    for (int k = 0; k < m->count; ++k) {
      const MissingEntry& x = m->entry[k];
      const std::string a = number_text15(x.value);
      std::string one;
      switch (x.kind) {
        case kMissValue: one = v->name + " == " + a; break;
        case kMissAtLeast: one = v->name + " >= " + a; break;
        case kMissAtMost: one = v->name + " <= " + a; break;
        case kMissAbove: one = v->name + " > " + a; break;
        case kMissBelow: one = v->name + " < " + a; break;
        case kMissRange: one = v->name + " >= " + a + " && " + v->name + " <= " + number_text15(x.high); break;
        default: continue;
      }
      cond += (cond.empty() ? "" : " | ") + one;
    }
    if (cond.empty()) continue;
    replaces += " replace " + v->name + " = " + (v->is_string() ? "\"\"" : ".") + "  if " + cond + " ;" + e;
  }
  if (!replaces.empty()) {
    if (!any_labels) p += "#delimit ;" + e;
    any_labels = true;
    p += " /* User Missing Value Specifications */" + e + replaces;
  }
  if (any_labels) p += "#delimit cr" + e;

  // Dates and times come in as text; the commented section turns them into Stata values.
  bool dates = false;
  for (const VarRecord* v : c.vars) dates |= v->ttype >= 7 && v->ttype <= 9;
  if (dates) {
    p += "/* Uncomment the following section if you are using Stata 10 and would like to convert the string" + e;
    p += " representation of dates and times to Stata's internal, numeric representation */" + e;
    p += "/*" + e;
    for (const VarRecord* v : c.vars) {
      if (v->ttype < 7 || v->ttype > 9) continue;
      const char* type = v->ttype == 7 ? "long" : "double";
      const char* fn = v->ttype == 7 ? "date" : "clock";
      const char* mask = v->ttype == 7 ? "DMY" : v->ttype == 8 ? "hms" : "DMYhms";
      const char* fmt = v->ttype == 7 ? "%td" : v->ttype == 8 ? "%tcHH:MM:SS" : "%tc";
      p += "generate " + std::string(type) + " _" + v->name + " = " + fn + "(" + v->name + ", \"" + mask + "\")" + e;
      p += "drop  " + v->name + e;
      p += "rename _" + v->name + " " + v->name + e;
      p += "format " + v->name + " " + fmt + e;
      if (!v->label.empty()) p += "label variable " + v->name + " \"" + stata_text(v->label) + "\"" + e;
    }
    p += "#delimit ;" + e;
    p += "order" + e;
    ColumnWriter cols(p, e.c_str(), 4, 20, 120);
    for (const VarRecord* v : c.vars) cols.add(v->name);
    cols.finish();
    p += ";" + e + "#delimit cr" + e + "*/" + e;
  }
  p += "save `dta_name', replace" + e;
}

}  // namespace tabulon
