// SPSS command syntax that reads the fixed-column data file back and saves a system file.
#include <algorithm>
#include <cstring>

#include "api/env_record.h"
#include "api/messages.h"
#include "dict/dictionary.h"
#include "formats/text/program_writer.h"
#include "formats/text/schema_reader.h"

namespace tabulon {

namespace {

constexpr size_t kLabelLine = 65;
constexpr size_t kLabelMax = 255;
constexpr size_t kShortLabelMax = 120;
constexpr size_t kShortSplitFirst = 50, kShortSplitLast = 65;
constexpr uint32_t kShortStringMax = 8;

// Text between quotes: the double quote when the text holds a single quote, else the
// single quote; the quote chosen is doubled inside.
std::string quoted(const std::string& s) {
  const char q = s.find('\'') != std::string::npos ? '"' : '\'';
  std::string out(1, q);
  for (char c : s) {
    if (c == '\n' || c == '\r') c = ' ';  // a label stays on its line
    out += c;
    if (c == q) out += q;
  }
  out += q;
  return out;
}

std::string in_single_quotes(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out + "'";
}

void variable_labels(ProgramContext& c, std::string& p) {
  int last = -1;
  for (size_t k = 0; k < c.vars.size(); ++k)
    if (!c.vars[k]->label.empty()) last = static_cast<int>(k);
  if (last < 0) return;
  p += "VARIABLE LABELS" + c.eol;
  for (size_t k = 0; k < c.vars.size(); ++k) {
    const VarRecord& v = *c.vars[k];
    if (v.label.empty()) continue;
    const std::string end = static_cast<int>(k) == last ? " ." : "";
    const std::string& label = v.label;
    if (label.size() < kLabelLine) {
      p += "   " + v.name + " " + quoted(label) + end + c.eol;
      continue;
    }
    if (c.short_labels) {
      // Older releases: at most 120 characters, split once at a blank near the line's end.
      const size_t total = utf8_cut(label.data(), label.size(), kShortLabelMax);
      size_t split = 0;
      for (size_t at = std::min(total, kShortSplitLast); at >= kShortSplitFirst && !split; --at)
        if (label[at - 1] == ' ') split = at;
      if (!split) split = utf8_cut(label.data(), total, kLabelLine);
      p += "   " + v.name + " " + quoted(label.substr(0, split)) + " +" + c.eol;
      p += "   " + quoted(label.substr(split, total - split)) + end + c.eol;
      continue;
    }
    const size_t total = utf8_cut(label.data(), label.size(), kLabelMax);
    p += "   " + v.name + " " + c.eol;
    size_t at = 0;
    while (at < total) {
      size_t n = utf8_cut(label.data() + at, total - at, kLabelLine);
      if (n == 0) n = 1;
      const std::string piece = label.substr(at, n);
      at += n;
      p += "   " + quoted(piece) + (at < total ? " +" : end) + c.eol;
    }
  }
}

void value_labels(ProgramContext& c, std::string& p) {
  const std::vector<int> leader = label_set_leaders(c.vars);
  std::vector<size_t> heads;
  for (size_t k = 0; k < c.vars.size(); ++k) {
    if (leader[k] != static_cast<int>(k)) continue;
    const VarRecord& v = *c.vars[k];
    if (v.is_string() && v.print_width > kShortStringMax) {
      emit_messagef(*c.env, MsgKind::Warning, "Variable %s has lost the assigned format due to its length - SPSS limitation",
                    v.name.c_str());
      continue;
    }
    heads.push_back(k);
  }
  if (heads.empty()) return;
  p += "VALUE LABELS" + c.eol;
  for (size_t h : heads) {
    const VarRecord& v = *c.vars[h];
    std::string names = " " + v.name;
    for (size_t j = h + 1; j < c.vars.size(); ++j)
      if (leader[j] == static_cast<int>(h)) names += " " + c.vars[j]->name;
    p += names + c.eol;
    std::vector<const ValueLabel*> entries;
    for (const ValueLabel& l : v.value_labels)
      if (!l.missing) entries.push_back(&l);
    for (size_t e = 0; e < entries.size(); ++e) {
      const ValueLabel& l = *entries[e];
      std::string value;
      if (v.is_string()) {
        std::string t = l.text.substr(0, utf8_cut(l.text.data(), l.text.size(), kShortStringMax));
        value = in_single_quotes(t);
      } else {
        value = number_text15(l.value);
      }
      p += "     " + value + " " + quoted(l.label) + (e + 1 == entries.size() ? " /" : "") + c.eol;
    }
  }
  p += " ." + c.eol;
}

void missing_values(ProgramContext& c, std::string& p) {
  std::string items;
  for (VarRecord* v : c.vars) {
    if (v->is_string()) {
      // Short strings: their discrete values, as SPSS declares them.
      const MissingTexts* t = v->print_width <= kShortStringMax ? input_missing_texts(*c.env, *v) : nullptr;
      std::string list;
      for (int k = 0; t && k < t->count && k < 3; ++k)
        list += (list.empty() ? "" : ", ") + in_single_quotes(t->value[k]);
      if (!list.empty()) items += "  " + v->name + " (" + list + ")" + c.eol;
      continue;
    }
    const MissingSpec* m = input_missing_spec(*c.env, *v);
    if (!m || v->ttype >= 7) continue;
    // SPSS keeps three values, or one range and one value.
    std::string ranges, values;
    int nvalues = 0;
    for (int k = 0; k < m->count; ++k) {
      const MissingEntry& e = m->entry[k];
      std::string text;
      const std::string x = number_text15(e.value);
      switch (e.kind) {
        case kMissValue: text = x; break;
        case kMissAtLeast:
        case kMissAbove: text = x + " THRU HIGHEST"; break;
        case kMissAtMost:
        case kMissBelow: text = "LOWEST THRU " + x; break;
        case kMissRange: text = x + " THRU " + number_text15(e.high); break;
        default: continue;
      }
      if (e.kind == kMissValue) {
        values += (values.empty() ? "" : ", ") + text;
        ++nvalues;
      } else if (ranges.empty()) {
        ranges = text;
      }
    }
    if (!ranges.empty() && nvalues > 1) values = values.substr(0, values.find(','));
    std::string list = ranges;
    if (!values.empty()) list += (list.empty() ? "" : ", ") + values;
    if (list.empty()) continue;
    items += "  " + v->name + " (" + list + ")" + c.eol;
  }
  if (items.empty()) return;
  if (c.comments && c.user_header.empty()) p += "/* User Missing Value Specifications */" + c.eol;
  p += "MISSING VALUES" + c.eol + items + " ." + c.eol;
}

}  // namespace

std::string spss_program(ProgramContext& c) {
  std::string p = program_header(c, "SPSS");
  const bool notes = c.comments && c.user_header.empty();
  if (notes) {
    p += "/* The following line should contain the complete path and name of your raw data file */" + c.eol;
    p += "/* The last line of this file contains the path to your output '.sav' file */" + c.eol;
  }
  p += "FILE HANDLE DATA / NAME=\"" + c.data_path + "\" /LRECL=" + std::to_string(c.total) + " ." + c.eol;

  p += "DATA LIST FILE=DATA/" + c.eol;
  {
    ColumnWriter cols(p, c.eol.c_str(), 3, 25);
    for (size_t k = 0; k < c.vars.size(); ++k) {
      const VarRecord& v = *c.vars[k];
      std::string item = "   " + v.name + " " + std::to_string(c.start[k] + 1);
      if (c.width[k] > 1) item += "-" + std::to_string(c.start[k] + c.width[k]);
      switch (v.ttype) {
        case 1: item += " (A)"; break;
        case 7: item += " (DATE)"; break;
        case 8: item += " (TIME)"; break;
        case 9: item += " (DATETIME)"; break;
        default: break;
      }
      if (k + 1 == c.vars.size()) item += " .";
      cols.add(item);
    }
    cols.finish();
  }

  std::string formats;
  for (size_t k = 0; k < c.vars.size(); ++k) {
    const VarRecord& v = *c.vars[k];
    if (v.ttype < 2 || v.ttype > 6 || v.decimals == kDecimalsNotGiven || v.decimals == 0) continue;
    const int decimals = v.decimals > 16 ? 16 : v.decimals;
    formats += "  " + v.name + " (F" + std::to_string(c.width[k] + 1) + "." + std::to_string(decimals) + ") /" + c.eol;
  }
  if (!formats.empty()) {
    formats.resize(formats.size() - 2 - c.eol.size());  // no "/" after the last
    p += "FORMATS" + c.eol + formats + " ." + c.eol;
  }

  variable_labels(c, p);
  value_labels(c, p);
  missing_values(c, p);
  p += "SAVE OUTFILE='" + path_with_extension(c.data_path, ".sav") + "'." + c.eol;
  return p;
}

}  // namespace tabulon
