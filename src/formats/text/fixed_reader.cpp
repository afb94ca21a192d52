#include "formats/text/fixed_reader.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "api/env_record.h"
#include "api/raise.h"
#include "dict/dictionary.h"
#include "engine/change_report.h"
#include "formats/text/text_writer.h"

namespace tabulon {

namespace {

const char kSchemaRequired[] = "Schema (file layout) is required to read fixed format files";

std::string trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
  return s.substr(b, e - b);
}

// A character setting as the ".SCH" file writes it.
char schema_char(const std::string& v) {
  if (v.empty()) return ' ';
  if (v[0] == '\\' && v.size() >= 2) return v[1] == 't' ? '\t' : v[1] == 'b' ? ' ' : 0;
  if (v[0] >= '0' && v[0] <= '9') return static_cast<char>(std::atoi(v.c_str()));
  return v[0];
}

int type_of_word(const std::string& w) {
  static const struct {
    const char* word;
    int type;
  } kWords[] = {{"char", 1}, {"number", 3}, {"longint", 4}, {"float", 5},
                {"date", 7}, {"time", 8},   {"timestamp", 9}};
  for (const auto& k : kWords)
    if (strcasecmp(w.c_str(), k.word) == 0) return k.type;
  return 1;
}

bool key_is(const std::string& key, const char* word, size_t letters) {
  return key.size() >= letters && strncasecmp(key.c_str(), word, letters) == 0;
}

uint32_t to_u32(const std::string& s) {
  long v = std::strtol(s.c_str(), nullptr, 10);
  return v > 0 && v < (1L << 30) ? static_cast<uint32_t>(v) : 0;
}

}  // namespace

int32_t parse_schema_text(EnvRecord& env, DelimitedReader& r, const std::string& text) {
  std::istringstream in(text);
  std::string line;
  int32_t fields = 0;
  DictState& dict = env.dict;
  while (std::getline(in, line)) {
    if (line.size() > r.s.line_width && r.s.line_width > 0) line.resize(r.s.line_width);
    std::string l = trim(line);
    if (l.empty() || l[0] == '[') continue;
    const size_t eq = l.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = trim(l.substr(0, eq));
    std::string value = l.substr(eq + 1);
    size_t b = 0;
    while (b < value.size() && value[b] == ' ') ++b;
    value = value.substr(b);

    if (strcasecmp(key.c_str(), "date-format") == 0) {
      compile_parse_pattern(value, &r.date_pattern);
      r.dates.date = &r.date_pattern;
      r.dates.date_is_mdy = date_pattern_is_mdy(value.c_str());
    } else if (strcasecmp(key.c_str(), "time-format") == 0) {
      compile_parse_pattern(value, &r.time_pattern);
      r.dates.time = &r.time_pattern;
    } else if (strcasecmp(key.c_str(), "datetime-format") == 0) {
      compile_parse_pattern(value, &r.datetime_pattern);
      r.dates.datetime = &r.datetime_pattern;
    } else if (key_is(key, "field", 5)) {
      if (fields >= static_cast<int32_t>(kMaxSchemaFields)) continue;
      std::vector<std::string> parts;
      std::stringstream ps(value);
      std::string part;
      while (std::getline(ps, part, ',')) parts.push_back(trim(part));
      if (parts.empty() || parts[0].empty()) continue;
      const int type = parts.size() > 1 ? type_of_word(parts[1]) : 1;
      const uint32_t width = parts.size() > 2 ? to_u32(parts[2]) : 0;
      VarRecord& v = dict_append_var(dict, parts[0], type, width);
      v.decimals = static_cast<uint8_t>(type >= 2 && type <= 6 && parts.size() > 3 ? to_u32(parts[3]) & 0xFF : 0);
      v.fixed_column = parts.size() > 4 ? to_u32(parts[4]) : 0;
      v.selected = 1;
      ++fields;
    } else if (key_is(key, "del", 3)) {
      r.s.read_quote = schema_char(value);
      if (r.s.read_quote == ' ') r.s.read_quote = 0;
    } else if (key_is(key, "sep", 3)) {
      r.s.read_delimiter = schema_char(value);
      r.s.delimiter_autosense = false;
    } else if (key_is(key, "date-o", 6)) {
      if (strcasecmp(value.c_str(), "MDY") == 0)
        r.dates.month_pos = 0, r.dates.day_pos = 1, r.dates.year_pos = 2;
      else if (strcasecmp(value.c_str(), "DMY") == 0)
        r.dates.day_pos = 0, r.dates.month_pos = 1, r.dates.year_pos = 2;
      else if (strcasecmp(value.c_str(), "YMD") == 0)
        r.dates.year_pos = 0, r.dates.month_pos = 1, r.dates.day_pos = 2;
      else
        RaiseErrorF(env, "Invalid date order %s", value.c_str());
    } else if (key_is(key, "date-p", 6)) {
      r.dates.punct = schema_char(value);
      r.dates.legacy = true;
    } else if (key_is(key, "dec", 3)) {
      r.punct.decimal_point = schema_char(value);
    } else if (key_is(key, "names", 5)) {
      r.s.names_row = !value.empty() && (value[0] == 'i' || value[0] == 'I') ? 1 : 0;
    }
  }
  return fields;
}

void fixed_read_schema(EnvRecord& env, DelimitedReader& r, const std::string& data_path) {
  std::string path = schema_path_for(data_path);
  std::ifstream f(path, std::ios::binary);
  if (!f) {
    path.replace(path.size() - 4, 4, ".sch");
    f.open(path, std::ios::binary);
  }
  if (!f) RaiseError(env, kSchemaRequired, nullptr);
  std::stringstream all;
  all << f.rdbuf();
  if (parse_schema_text(env, r, all.str()) <= 0) RaiseError(env, kSchemaRequired, nullptr);
  // Running start columns when the file gave none.
  uint32_t column = 0;
  bool any_start = false;
  for (int32_t i = 0; i < dict_count(env.dict); ++i) any_start |= dict_var(env.dict, i)->fixed_column != 0;
  if (!any_start)
    for (int32_t i = 0; i < dict_count(env.dict); ++i) {
      VarRecord& v = *dict_var(env.dict, i);
      v.fixed_column = column;
      column += v.input_width;
    }
}

int32_t fixed_read_record(EnvRecord& env, DelimitedReader& r) {
  DictState& dict = env.dict;
  if (!r.vars_ready) {
    r.vars.clear();
    for (int32_t i = 0; i < dict_count(dict); ++i) r.vars.push_back(dict_var(dict, i));
    r.vars_ready = true;
  }
  if (rdline_read(*r.rd) < 0) return -1;
  ++r.lines_read;
  const char* line = r.rd->out;
  const size_t len = r.rd->out_len;
  for (VarRecord* v : r.vars) {
    if (!v->selected) continue;
    size_t b = v->fixed_column, e = b + v->input_width;
    if (b > len) b = len;
    if (e > len) e = len;
    while (b < e && line[b] == ' ') ++b;
    while (e > b && line[e - 1] == ' ') --e;
    if (b == e) {
      var_set_missing(dict, *v, kSystemMissing);
      continue;
    }
    const char* text = line + b;
    const size_t n = e - b;
    switch (v->ttype) {
      case 1:
        var_set_string(dict, *v, text, n);
        break;
      case 7:
      case 8:
      case 9: {
        double day;
        if (parse_date_cell(r.dates, v->ttype, text, n, &day)) {
          var_set_double(dict, *v, day);
        } else {
          var_set_missing(dict, *v, kSystemMissing);
          note_change(env, ChangeKind::Unreadable, v->name);
        }
        break;
      }
      default: {
        ParsedNumber p = parse_number(text, n, r.punct);
        var_set_double(dict, *v, p.value);
        v->missing = p.missing;
        if (p.failure != kNumOk) note_change(env, ChangeKind::Unreadable, v->name);
      }
    }
  }
  return 0;
}

}  // namespace tabulon
