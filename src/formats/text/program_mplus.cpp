// Mplus input that reads the comma-separated numbers of the data file.
#include "api/env_record.h"
#include "dict/dictionary.h"
#include "formats/text/program_writer.h"

namespace tabulon {

namespace {

constexpr size_t kCommentWidth = 80;

// "!" comment lines, cut to the line width less the indent.
void comment(std::string& p, const std::string& eol, size_t indent, const std::string& text) {
  std::string t = text;
  for (char& ch : t)
    if (ch == '\n' || ch == '\r') ch = ' ';
  const size_t room = kCommentWidth - indent;
  if (t.size() > room) t.resize(utf8_cut(t.data(), t.size(), room));
  p += "!" + std::string(indent, ' ') + t + eol;
}

}  // namespace

std::string mplus_program(ProgramContext& c) {
  const std::string& e = c.eol;
  std::string p = "Title:" + e + "   Mplus file written by Tabulon" + e;
  comment(p, e, 2, "The following variables were converted:");
  for (const VarRecord* v : c.vars) {
    comment(p, e, 4, v->name + " : " + v->label);
    for (const ValueLabel& l : v->value_labels)
      if (!l.missing) comment(p, e, 8, number_text15(l.value) + ": " + l.label);
  }
  p += "Data:" + e + "   File is " + c.data_path + " ;" + e;
  p += "Variable:" + e + "   Names are" + e;
  {
    ColumnWriter cols(p, e.c_str(), 6, 12, 80, 5);
    for (size_t k = 0; k < c.vars.size(); ++k) cols.add(c.vars[k]->name + (k + 1 == c.vars.size() ? "  ;" : ""));
    cols.finish();
  }
  p += "   Missing are . ;" + e;
  p += "Analysis:" + e + "   Type = basic;" + e;
  return p;
}

}  // namespace tabulon
