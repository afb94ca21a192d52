#include "formats/text/delimited_reader.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "api/env_record.h"
#include "api/option_slots.h"
#include "api/raise.h"
#include "dates/date_state.h"
#include "dict/dict_env.h"
#include "dict/dictionary.h"
#include "engine/change_report.h"
#include "engine/scan_progress.h"
#include "formats/text/field_split.h"

namespace tabulon {

namespace {

// A line of binary garbage can hold millions of delimiters; beyond this many columns the
// extra fields are ignored rather than growing the dictionary without bound.
constexpr size_t kMaxColumns = 32767;
constexpr size_t kGuessFields = 511;
constexpr int kDelimiterGuessLines = 5;
constexpr uint32_t kMaxStringBytes = 32767;


// The current line, writable, with combined delimiters applied.
struct Line {
  char* text;
  size_t len;
};

Line current_line(DelimitedReader& r, char* delim) {
  RdLine& rd = *r.rd;
  Line l{rd.out, rd.out_len};
  if (r.s.combine) l.len = combine_delimiters(l.text, l.len, static_cast<int>(r.s.combine), delim);
  return l;
}

// The fields of a line one by one: from the cuts split_plain_line found in one go, or
// by split_field where the line is not plain.
struct LineCuts {
  Line l;
  char delim, quote;
  const FieldCuts& cuts;
  bool plain;

  LineCuts(DelimitedReader& r, Line line, char d, size_t max_fields)
      : l(line), delim(d), quote(r.s.read_quote), cuts(r.field_cuts),
        plain(split_plain_line(line.text, line.len, d, r.s.read_quote, max_fields, r.field_cuts)) {}

  // Field number k, which starts at *pos unless the line is plain.
  bool next(size_t k, FieldSpan* f, size_t* pos, size_t* next_pos) const {
    if (!plain) return split_field_fast(l.text, l.len, *pos, delim, quote, f, next_pos);
    if (k >= cuts.n) return false;
    const uint32_t* at = cuts.at.data();
    const size_t b = k ? at[k - 1] + 1 : 0;
    f->text = l.text + b;
    f->len = at[k] - b;
    f->quoted = false;
    *next_pos = at[k] + 1;
    return true;
  }
};

inline bool is_na(const DelimitedReader& r, const FieldSpan& f) {
  // With extended codes the writer marks a missing string by a bare ".": read it back as missing.
  if (r.s.extended_read && f.len == 1 && f.text[0] == '.' && !f.quoted) return true;
  return r.s.na_read_set && f.len == r.s.na_read.size() && std::memcmp(f.text, r.s.na_read.data(), f.len) == 0;
}

void guess_delimiter(DelimitedReader& r) {
  long commas = 0, tabs = 0, semis = 0, bars = 0;
  for (int i = 0; i < kDelimiterGuessLines && rdline_read(*r.rd) > 0; ++i) {
    const char* p = r.rd->out;
    for (size_t k = 0; k < r.rd->out_len; ++k) {
      switch (p[k]) {
        case ',': ++commas; break;
        case '\t': ++tabs; break;
        case ';': ++semis; break;
        case '|': ++bars; break;
        default: break;
      }
    }
  }
  rdline_rewind(*r.rd);
  char d;
  if (r.s.decimal_point != ',' && commas > tabs && commas > semis && commas > bars)
    d = ',';
  else if (tabs > semis)
    d = '\t';
  else if (semis >= 3)
    d = ';';
  else if (bars >= 3)
    d = '|';
  else
    d = ' ';
  r.s.read_delimiter = d;
}

// Classes of the fields of one line: 'n' number, 't' text, 0 empty.
std::string classify_fields(DelimitedReader& r) {
  std::string kinds;
  char delim = r.s.read_delimiter;
  Line l = current_line(r, &delim);
  FieldSpan f;
  size_t pos = 0, next = 0;
  while (kinds.size() < kGuessFields && split_field_fast(l.text, l.len, pos, delim, r.s.read_quote, &f, &next)) {
    if (f.len == 0 || is_na(r, f))
      kinds.push_back(0);
    else
      kinds.push_back(parse_number(f.text, f.len, r.punct).failure == kNumForeign ? 't' : 'n');
    pos = next;
  }
  return kinds;
}

// Reads lines up to the next one that is not blank; its 1-based number, or 0 at the end.
uint32_t next_filled_line(DelimitedReader& r, uint32_t line) {
  while (rdline_read(*r.rd) > 0) {
    ++line;
    if (r.rd->out_len > 0) return line;
  }
  return 0;
}

// Blank lines before the names or between them and the first data line are layout, not
// data: the names are the first line that holds text, compared with the next such line.
void guess_names_row(DelimitedReader& r) {
  r.s.names_row = 0;
  const uint32_t names = next_filled_line(r, 0);
  if (names) {
    std::string first = classify_fields(r);
    uint32_t line = names;
    bool second_ok = true;
    if (r.s.labels_second_row) second_ok = (line = next_filled_line(r, line)) != 0;
    if (second_ok && next_filled_line(r, line)) {
      std::string second = classify_fields(r);
      for (size_t c = 0; c < first.size() && c < second.size(); ++c)
        if (first[c] == 't' && second[c] == 'n') {
          r.s.names_row = names;
          break;
        }
    }
  }
  rdline_rewind(*r.rd);
}

// Strings are read whole up to the longest an output can hold, unless the maximum string
// length option asks for less.
uint32_t string_width_cap(const EnvRecord& env) {
  const int32_t n = option_int(env, kOptMaxStringLength);
  return n > 0 && n < static_cast<int32_t>(kMaxStringBytes) ? static_cast<uint32_t>(n) : kMaxStringBytes;
}

uint32_t first_row_of(const TextSettings& s) { return s.first_row ? s.first_row : 1; }

void set_type(VarRecord& v, int ttype) {
  v.ttype = static_cast<uint16_t>(ttype);
  v.api_type = api_type_of_ttype(ttype);
}

}  // namespace

DelimitedReader::~DelimitedReader() {
  rd.reset();
  if (file && file != stdin) std::fclose(file);
}

void delimited_prepare(EnvRecord& env, DelimitedReader& r, const ByteSource& src, const char* encoding) {
  r.s = text_settings_from_env(env);
  r.end_in_scan = false;
  r.vars.clear();
  r.vars_ready = false;
  r.lines_read = 0;
  r.any_record = false;
  r.rd.reset(rdline_open(env, src, encoding, 0));
  if (!r.rd) RaiseError(env, "The input file cannot be read as text", nullptr);

  r.punct.decimal_point = r.s.decimal_point;
  r.punct.thousands = r.s.thousands;
  r.punct.currency = r.s.currency;
  r.punct.extended_missing = r.s.extended_read;

  date_cell_parser_init(r.dates, env, r.s, r.date_pattern, r.time_pattern);
}

int32_t delimited_scan(EnvRecord& env, DelimitedReader& r) {
  TextSettings& s = r.s;
  RdLine& rd = *r.rd;
  if (s.skip_rows) s.first_row = s.skip_rows + 1;
  if (s.first_row > 1) {
    for (uint32_t i = 1; i < s.first_row; ++i)
      if (rdline_read(rd) < 0) break;
    rdline_mark_data_start(rd);
    rd.line_count = 0;
  }
  if (s.combine == 2)
    s.read_delimiter = ' ';
  else if (s.delimiter_autosense)
    guess_delimiter(r);
  // A quoted line break belongs to its field whatever the delimiter; joined before the
  // names guess too, so that it does not cut its line there either.
  if (s.read_quote) rdline_set_join(rd, s.read_quote, s.read_delimiter, s.combine == 2 ? '\t' : 0);
  if (s.names_autosense) guess_names_row(r);

  CellContext ctx;
  ctx.punct = r.punct;
  ctx.dates = &r.dates;
  ctx.max_string_width = s.max_string_width ? s.max_string_width : string_width_cap(env);
  ctx.plain_numbers_not_dates = !r.dates.legacy && scan_pattern_skips_numbers(date_pattern_text(env, kPatternsRead, kDateKindScan));

  std::vector<ColumnGuess> cols;
  std::vector<std::string> names, labels;
  size_t max_fields = 0;
  const uint32_t label_row = s.labels_second_row && s.names_row ? s.names_row + 1 : 0;
  // The lines the record reader will take as cases, counted as it counts them, so that
  // a scan of every line also serves as the optimization pass.
  bool complete = false, any_record = false, data_ended = false;
  uint32_t cases = 0;
  for (uint32_t L = 1;; ++L) {
    if (s.scan_limit && L > s.scan_limit) break;
    if ((L & (kScanProgressEvery - 1)) == 0) report_scan_progress(env, cases, rdline_tell(rd));
    if (s.last_row && L + first_row_of(s) - 1 > s.last_row) {
      complete = true;
      break;
    }
    if (rdline_read(rd) < 0) {
      r.end_in_scan = true;
      complete = true;
      break;
    }
    ctx.collect = false;
    if (L != s.names_row && L != label_row && !data_ended) {
      if (rd.out_len > 0) {
        any_record = true;
        ctx.collect = true;
        ++cases;
      } else if (any_record && s.blank_rows == 0) {
        data_ended = true;
      } else if (any_record && s.blank_rows != 1) {
        ++cases;  // a case of missing values
      }
    }
    char delim = s.read_delimiter;
    Line l = current_line(r, &delim);
    FieldSpan f;
    size_t pos = 0, next = 0, c = 0;
    LineCuts cuts(r, l, delim, kMaxColumns);
    for (; c < kMaxColumns && cuts.next(c, &f, &pos, &next); ++c, pos = next) {
      if (c >= cols.size()) {
        cols.emplace_back();
        names.emplace_back();
        labels.emplace_back();
      }
      if (is_na(r, f)) f.len = 0;
      if (L == s.names_row)
        names[c].assign(f.text, f.len < kMaxVarName ? f.len : kMaxVarName);
      else if (L == label_row) {
        if (f.len) labels[c].assign(f.text, f.len);
      } else {
        guess_cell(cols[c], f.text, f.len, f.quoted, ctx);
      }
    }
    if (c > max_fields) max_fields = c;
    // Values held back stay within about 4 MB however many columns there are.
    ctx.pending_run = cols.size() <= 512 ? 1024 : std::max<size_t>(8, (size_t{1} << 19) / cols.size());
  }
  if (max_fields == 0) {
    rdline_rewind(rd);
    return -1;
  }

  // Columns to keep.
  size_t first = s.first_col > 1 ? s.first_col - 1 : 0;
  size_t count;
  if (s.first_col == 0 && s.last_col == 0)
    count = max_fields;
  else if (s.last_col)
    count = s.last_col >= first + 1 ? s.last_col - first : 0;
  else
    count = max_fields > first ? max_fields - first : 0;
  if (count > kMaxColumns) count = kMaxColumns;
  if (first + count > cols.size()) {
    cols.resize(first + count);
    names.resize(first + count);
    labels.resize(first + count);
  }

  DictState& dict = env.dict;
  ScanStats& scan = env.transfer.scan_stats;
  scan = ScanStats{};
  scan.complete = complete && dict.vars.empty() && cases <= UINT32_MAX - 1;
  scan.cases = cases;
  if (scan.complete) report_scan_progress(env, cases, -1, true);
  for (size_t k = first; k < first + count; ++k) {
    ColumnGuess& g = cols[k];
    finish_guess(g, s.default_type, s.min_string_width);
    std::string name = names[k];
    if (name.empty()) name = "Col" + std::to_string(k + 1);
    VarRecord& v = dict_append_var(dict, name, g.type, g.width);
    if (names[k].empty()) v.flags |= kVarNameMadeUp;
    set_type(v, g.type);
    v.decimals = static_cast<uint8_t>(g.type == 5 || g.type == 6 ? g.decimals : 0);
    if (!labels[k].empty()) {
      var_set_label(v, labels[k]);
      dict.any_var_label = true;
    }
    v.selected = 1;
    ScanStats::Column c;
    c.var = &v;
    c.ttype = v.ttype;
    if (g.type == 1) {
      c.usable = !g.saw_nul;
      c.stats.maximum = g.longest;
    } else if (g.type < 7) {
      c.usable = !g.saw_date;
      c.stats = g.numbers;
    } else {
      // Dates and times keep their type; a date-time may become either by its values,
      // which the scan read with the pattern of the type it had at the time.
      c.usable = g.type != 9;
    }
    scan.columns.push_back(c);
  }
  s.first_col = static_cast<uint32_t>(first + 1);
  rdline_rewind(rd);
  r.lines_read = 0;
  r.any_record = false;
  return 0;
}

int32_t delimited_read_record(EnvRecord& env, DelimitedReader& r) {
  TextSettings& s = r.s;
  RdLine& rd = *r.rd;
  DictState& dict = env.dict;
  if (!r.vars_ready) {
    r.vars.clear();
    for (int32_t i = 0; i < dict_count(dict); ++i) r.vars.push_back(dict_var(dict, i));
    r.vars_ready = true;
  }
  const uint32_t label_row = s.labels_second_row && s.names_row ? s.names_row + 1 : 0;
  Line l{nullptr, 0};
  char delim = s.read_delimiter;
  for (;;) {
    if (rdline_read(rd) < 0) return -1;
    ++r.lines_read;
    if (s.names_row && r.lines_read == s.names_row) continue;
    if (label_row && r.lines_read == label_row) continue;
    if (s.last_row && r.lines_read + first_row_of(s) - 1 > s.last_row) return -1;
    if (rd.out_len == 0) {
      // Blank lines before the first record (around the names, say) are layout: they
      // neither end the data nor make cases.
      if (s.blank_rows == 1 || !r.any_record) continue;
      if (s.blank_rows == 0) return -1;
    }
    r.any_record = true;
    delim = s.read_delimiter;
    l = current_line(r, &delim);
    break;
  }

  size_t pos = 0, next = 0, c = 0;
  FieldSpan f;
  const size_t skip = s.first_col > 1 ? s.first_col - 1 : 0;
  LineCuts cuts(r, l, delim, skip + r.vars.size());
  for (; c < skip; ++c) {
    if (!cuts.next(c, &f, &pos, &next)) break;
    pos = next;
  }
  bool more = c == skip;
  for (VarRecord* v : r.vars) {
    if (more) {
      more = cuts.next(c++, &f, &pos, &next);
      pos = next;
    }
    if (!v->selected) continue;
    if (!more || f.len == 0 || is_na(r, f)) {
      var_set_missing(dict, *v, kSystemMissing);
      continue;
    }
    switch (v->ttype) {
      case 1:
        if (var_set_string(dict, *v, f.text, f.len) < f.len) note_change(env, ChangeKind::StringCut, v->name);
        break;
      case 7:
      case 8:
      case 9: {
        double day;
        if (parse_date_cell(r.dates, v->ttype, f.text, f.len, &day)) {
          var_set_double(dict, *v, day);
        } else {
          var_set_missing(dict, *v, kSystemMissing);
          note_change(env, ChangeKind::Unreadable, v->name);
        }
        break;
      }
      default: {
        ParsedNumber n = parse_number(f.text, f.len, r.punct);
        var_set_double(dict, *v, n.value);
        v->missing = n.missing;
        if (n.failure != kNumOk) note_change(env, ChangeKind::Unreadable, v->name);
        break;
      }
    }
  }
  return 0;
}

}  // namespace tabulon
