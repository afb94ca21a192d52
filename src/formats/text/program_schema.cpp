// Schemas (formats 46, 53, 55) that the schema reader reads back.
#include "api/env_record.h"
#include "dict/dictionary.h"
#include "formats/text/program_writer.h"
#include "formats/text/schema_reader.h"

namespace tabulon {

namespace {

// The double quote unless the text holds one; the quote chosen is doubled inside.
std::string quoted(const std::string& s) {
  const char q = s.find('"') != std::string::npos ? '\'' : '"';
  std::string out(1, q);
  for (char c : s) {
    if (c == '\n' || c == '\r') c = ' ';  // a word stays on its line
    out += c;
    if (c == q) out += q;
  }
  out += q;
  return out;
}

std::string single_quoted(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out + "'";
}

std::string missing_word(const MissingSpec& m) {
  std::string out;
  for (int k = 0; k < m.count; ++k) {
    const MissingEntry& e = m.entry[k];
    const std::string x = number_text15(e.value);
    if (!out.empty()) out += ",";
    switch (e.kind) {
      case kMissValue: out += x; break;
      case kMissAtLeast: out += ">= " + x; break;
      case kMissAtMost: out += "<= " + x; break;
      case kMissRange: out += ">=" + x + ",<=" + number_text15(e.high); break;
      case kMissBelow: out += "<" + x; break;
      case kMissAbove: out += ">" + x; break;
      default: break;
    }
  }
  return "[" + out + "]";
}

// Texts inside braces cannot hold the closing brace.
std::string brace_safe(std::string s) {
  for (char& ch : s)
    if (ch == '}') ch = ')';
    else if (ch == '\n' || ch == '\r') ch = ' ';
  return s;
}

}  // namespace

std::string schema_program(ProgramContext& c) {
  std::string p;
  const bool delimited = c.code == 55;
  if (c.code != 53) {
    if (!c.encoding.empty()) p += "ENCODING " + c.encoding + c.eol;
    if (c.user_header.empty()) {
      if (c.comments) p += "// The following line should contain the complete path and name of your raw data file" + c.eol;
    } else {
      p += c.user_header;
      if (p.back() != '\n') p += c.eol;
    }
    p += "FILE " + c.data_path + c.eol;
  }
  if (delimited) p += "FORMAT delimited commas" + c.eol;

  const std::vector<int> leader = label_set_leaders(c.vars);
  p += "VARIABLES" + c.eol;
  char buf[300];
  for (size_t k = 0; k < c.vars.size(); ++k) {
    const VarRecord& v = *c.vars[k];
    if (delimited) {
      std::snprintf(buf, sizeof buf, "   %-15s\t", v.name.c_str());
      p += buf;
    } else {
      std::snprintf(buf, sizeof buf, "   %-15s %u", v.name.c_str(), c.start[k] + 1);
      p += buf;
      if (c.width[k] >= 2) {
        std::snprintf(buf, sizeof buf, "-%-3u", c.start[k] + c.width[k]);
        p += buf;
      } else {
        p += "\t";
      }
    }
    if (v.is_string()) {
      p += delimited ? " (A" + std::to_string(v.print_width ? v.print_width : 1) + ")" : " (A)";
    } else if (v.ttype >= 7 && v.ttype <= 9) {
      p += " (" + read_pattern_of(c.date_pattern[v.ttype - 7]) + ")";
    } else if (delimited || v.ttype != 5) {
      // Fixed fields carry no decimals here: a type with decimals would imply them.
      static const char kLetters[] = "?ABILFD";
      std::string type = std::string(" (") + kLetters[v.ttype];
      if (delimited && v.decimals && v.decimals != kDecimalsNotGiven && v.decimals <= 10 && v.ttype >= 5)
        type += std::to_string(c.width[k]) + "." + std::to_string(v.decimals);
      p += type + ")";
    }
    if (const MissingSpec* m = input_missing_spec(*c.env, v)) p += "\t" + missing_word(*m) + " ";
    if (!v.label.empty()) p += "\t{" + brace_safe(v.label) + "} ";
    if (leader[k] >= 0) p += "\t\\" + c.vars[static_cast<size_t>(leader[k])]->name;
    p += c.eol;
  }

  bool any = false;
  for (size_t k = 0; k < c.vars.size(); ++k) {
    if (leader[k] != static_cast<int>(k)) continue;
    const VarRecord& v = *c.vars[k];
    if (!any) p += "VALUE LABELS" + c.eol;
    any = true;
    p += "  \\" + v.name;
    if (!v.label.empty() && c.comments) p += "\t\t\t// " + brace_safe(v.label);
    p += c.eol;
    for (const ValueLabel& l : v.value_labels) {
      if (l.missing) continue;
      const std::string label = quoted(l.label.empty() ? "null" : l.label);
      if (v.is_string())
        p += "     " + single_quoted(l.text) + " " + label + c.eol;
      else
        p += "     " + number_text15(l.value) + " " + label + c.eol;
    }
  }

  bool attrs = false;
  for (const VarRecord* v : c.vars) {
    for (const ExtAttr& a : v->ext_attrs.items) {
      if (!a.has_name || a.name.empty()) continue;
      if (!attrs) p += "ATTRIBUTES" + c.eol;
      attrs = true;
      p += "   " + v->name + " " + quoted(a.name) + " " + (a.has_text ? quoted(a.text) : number_text15(a.number)) + c.eol;
    }
  }
  if (c.code == 53) p += "DATA" + c.eol;
  return p;
}

}  // namespace tabulon
