#include "formats/text/schema_reader.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "api/env_record.h"
#include "api/messages.h"
#include "api/option_slots.h"
#include "api/raise.h"
#include "dates/date_state.h"
#include "dict/dictionary.h"
#include "engine/change_report.h"
#include "encoding/transcode.h"
#include "engine/format_hooks.h"
#include "formats/text/field_split.h"
#include "formats/text/text_settings.h"

namespace tabulon {

namespace {

constexpr int kMaxImplied = 10;

const double kPowers[kMaxImplied + 1] = {1, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10};

bool file_exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string dir_of(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string with_extension(const std::string& path, const char* ext) {
  const size_t slash = path.find_last_of('/');
  const size_t dot = path.find_last_of('.');
  const bool has = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  return (has ? path.substr(0, dot) : path) + ext;
}

const char* input_encoding(EnvRecord& env) {
  const ConverterSlot& slot = env.encoding.input[0];
  if (slot.from.empty() || (slot.flags & kSlotNoConversion)) return "UTF-8";
  return slot.from.c_str();
}

bool read_nonempty(RdLine& rd) {
  for (;;) {
    if (rdline_read(rd) < 0) return false;
    if (rd.out_len > 0) return true;
  }
}

// A value of a number field; false when the field is missing (`unreadable` when it holds
// something that is not a number).
bool number_value(const SchemaReader& r, const SchemaVar& sv, const char* text, size_t n, double* out,
                  uint16_t* code, bool* unreadable) {
  while (n > 0 && text[0] == ' ') ++text, --n;
  while (n > 0 && text[n - 1] == ' ') --n;
  if (n == 0) {
    *code = kSystemMissing;
    return false;
  }
  ParsedNumber p = parse_number(text, n, r.punct);
  if (p.missing || p.failure) {
    *code = p.missing ? p.missing : kSystemMissing;
    *unreadable = p.failure != kNumOk;
    return false;
  }
  double x = p.value;
  if (sv.implied > 0 && sv.implied <= kMaxImplied && !std::memchr(text, r.punct.decimal_point, n))
    x /= kPowers[sv.implied];
  if (sv.missing.count && missing_matches(sv.missing, x, r.user_missing_mode)) {
    *code = kSystemMissing;
    return false;
  }
  *out = x;
  return true;
}

bool blank(const char* text, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (text[i] != ' ') return false;
  return true;
}

bool date_value(EnvRecord& env, const SchemaReader& r, const SchemaVar& sv, int ttype, const char* text, size_t n,
                double* out) {
  while (n > 0 && text[n - 1] == ' ') --n;
  while (n > 0 && text[0] == ' ') ++text, --n;
  if (n == 0) return false;
  if (sv.pattern.empty()) return parse_date_cell(r.dates, ttype, text, n, out) != 0;
  DateParts parts;
  if (!parse_date_text(sv.parsed, env.dates.names, r.dates.cutoff, text, n, &parts)) return false;
  if ((ttype == 7 || ttype == 9) && !(parts.flags & kPartsDate)) return false;
  if (ttype == 8 && !(parts.flags & kPartsTime)) return false;
  return parts_to_day(parts, out);
}

void store(EnvRecord& env, SchemaReader& r, const SchemaVar& sv, const char* text, size_t n) {
  DictState& dict = env.dict;
  VarRecord& v = *sv.var;
  switch (v.ttype) {
    case 1:
      while (n > 0 && text[n - 1] == ' ') --n;
      if (n == 0)
        var_set_missing(dict, v, kSystemMissing);
      else
        var_set_string(dict, v, text, n);
      break;
    case 7:
    case 8:
    case 9: {
      double day = 0;
      if (date_value(env, r, sv, v.ttype, text, n, &day)) {
        var_set_double(dict, v, day);
      } else {
        var_set_missing(dict, v, kSystemMissing);
        if (!blank(text, n)) note_change(env, ChangeKind::Unreadable, v.name);
      }
      break;
    }
    default: {
      double x = 0;
      uint16_t code = 0;
      bool unreadable = false;
      if (number_value(r, sv, text, n, &x, &code, &unreadable)) {
        var_set_double(dict, v, x);
      } else {
        var_set_missing(dict, v, code);
        if (unreadable) note_change(env, ChangeKind::Unreadable, v.name);
      }
    }
  }
}

// Byte offset of character n of a UTF-8 text (its length when the text is shorter).
size_t char_offset(const char* s, size_t len, size_t n) {
  size_t i = 0;
  while (n > 0 && i < len) {
    ++i;
    while (i < len && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) ++i;
    --n;
  }
  return i;
}

// The next line of a fixed record. A blank-filled line is a record whose every field is
// missing (the line reader hands it out empty), so it counts unless only empty lines
// follow it up to the end of the data.
bool next_fixed_line(SchemaReader& r) {
  RdLine& rd = *r.rd;
  if (r.blank_pending > 0) {
    --r.blank_pending;
    rd.out_len = 0;
    return true;
  }
  if (rdline_read(rd) < 0) return false;
  if (rd.out_len > 0) return true;
  int64_t blanks = 1;
  for (;;) {
    const int64_t at = rdline_tell(rd);
    if (rdline_read(rd) < 0) return false;
    if (rd.out_len == 0) {
      ++blanks;
      continue;
    }
    rdline_seek(rd, at);
    r.blank_pending = blanks - 1;
    rd.out_len = 0;
    return true;
  }
}

int32_t fixed_record(EnvRecord& env, SchemaReader& r) {
  RdLine& rd = *r.rd;
  const size_t lines = r.info.lines_per_record ? r.info.lines_per_record : 1;
  if (r.lines.size() < lines) {
    r.lines.resize(lines);
    r.by_chars.resize(lines);
  }
  for (size_t k = 0; k < lines; ++k) {
    if (!next_fixed_line(r)) {
      if (k == 0) return -1;
      for (; k < lines; ++k) r.lines[k].clear();  // a cut-off last record
      break;
    }
    r.lines[k].assign(rd.out_len ? rd.out : "", rd.out_len);
    // A line converted from a single-byte encoding: its columns count characters.
    r.by_chars[k] = rd.has_converter && rd.non_ascii;
  }
  for (const SchemaVar& sv : r.info.vars) {
    VarRecord& v = *sv.var;
    if (!v.selected) continue;
    const size_t k = sv.line < lines ? sv.line : lines - 1;
    const std::string& line = r.lines[k];
    size_t len = line.size();
    size_t b = sv.column, e = static_cast<size_t>(sv.column) + sv.width;
    if (r.by_chars[k]) {
      if (sv.lrecl) len = char_offset(line.data(), len, sv.lrecl);
      b = char_offset(line.data(), len, b);
      e = char_offset(line.data(), len, e);
    } else if (sv.lrecl && len > sv.lrecl) {
      len = sv.lrecl;
    }
    if (b >= len) {
      var_set_missing(env.dict, v, kSystemMissing);
      continue;
    }
    if (e > len) e = len;
    store(env, r, sv, line.data() + b, e - b);
  }
  ++r.records;
  return 0;
}

int32_t delimited_record(EnvRecord& env, SchemaReader& r) {
  RdLine& rd = *r.rd;
  if (!read_nonempty(rd)) return -1;
  char* line = rd.out;
  const size_t len = rd.out_len;
  size_t pos = 0, next = 0;
  FieldSpan f;
  bool more = true;
  for (const SchemaVar& sv : r.info.vars) {
    if (more) {
      more = split_field(line, len, pos, r.info.delimiter, '"', &f, &next);
      pos = next;
    }
    VarRecord& v = *sv.var;
    if (!v.selected) continue;
    if (!more || f.len == 0) {
      var_set_missing(env.dict, v, kSystemMissing);
      continue;
    }
    store(env, r, sv, f.text, f.len);
  }
  ++r.records;
  return 0;
}

void open_rdline(EnvRecord& env, SchemaReader& r, FILE* f, const char* encoding, const std::string& path,
                 std::unique_ptr<RdLine, RdLineCloser>& out) {
  out.reset(rdline_open(env, file_source(f), encoding, 0));
  if (!out) RaiseErrorF(env, "Cannot open data file: %s", path.c_str());
  (void)r;
}

void skip_to_first_line(SchemaReader& r) {
  for (int32_t k = 1; k < r.info.first_line; ++k)
    if (rdline_read(*r.rd) < 0) break;
  rdline_mark_data_start(*r.rd);
}

// ---- format entry points ----

int32_t schema_read_case(EnvRecord& env) {
  SchemaReader* r = reader_state<SchemaReader>(env);
  if (!r || !r->rd) return kEndOfData;
  return schema_read_record(env, *r) == 0 ? kCaseRead : kEndOfData;
}

int32_t schema_save(EnvRecord& env) {
  SchemaReader* r = reader_state<SchemaReader>(env);
  if (!r || !r->rd) return -1;
  r->saved_at = rdline_tell(*r->rd);
  r->saved_records = r->records;
  r->saved_blank_pending = r->blank_pending;
  return 0;
}

int32_t schema_restore(EnvRecord& env) {
  SchemaReader* r = reader_state<SchemaReader>(env);
  if (!r || !r->rd || r->saved_at < 0) return -1;
  rdline_seek(*r->rd, r->saved_at);
  r->records = r->saved_records;
  r->blank_pending = r->saved_blank_pending;
  return 0;
}

int32_t schema_read_dict(EnvRecord& env) {
  TransferState& t = env.transfer;
  const std::string& path = t.input_path;
  // A schema in 16- or 32-bit units cannot be parsed line by line here.
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) RaiseErrorF(env, "Cannot open data file: %s", path.c_str());
  unsigned char head[4] = {0, 0, 0, 0};
  const size_t got = std::fread(head, 1, sizeof head, f);
  int skip = 0;
  const char* bom = detect_bom(head, got, &skip);
  if (bom && std::strcmp(bom, "UTF-8") != 0) {
    std::fclose(f);
    char text[400];
    std::snprintf(text, sizeof text,
                  " Tabulon cannot read the Schema file because it uses %s encoding. Please save the Schema file in "
                  "UTF-8 or a multibyte encoding and repeat the transfer.",
                  bom);
    emit_message(env, MsgKind::Error, text);
    SetMessageF(env, "%s%s", kPrefixError, text);
    return -798;
  }
  std::rewind(f);
  SchemaReader& r = make_reader_state<SchemaReader>(env);
  r.schema_file = f;
  r.schema_rd.reset(rdline_open(env, file_source(f), input_encoding(env), 0));
  if (!r.schema_rd) RaiseError(env, "The input file cannot be read as text", nullptr);
  schema_reader_settings(env, r);

  struct RdLines {
    static bool next(void* ctx, const char** line, size_t* len) {
      RdLine& rd = *static_cast<RdLine*>(ctx);
      if (rdline_read(rd) < 0) return false;
      *line = rd.out;
      *len = rd.out_len;
      return true;
    }
  };
  parse_schema(env, SchemaLines{r.schema_rd.get(), RdLines::next}, r.info);
  if (r.info.vars.empty()) RaiseError(env, "The schema defines no variables", nullptr);
  schema_open_data(env, r, path);
  t.input_code = r.info.delimited ? 55 : 46;
  t.read_case = schema_read_case;
  return 0;
}

}  // namespace

SchemaReader::~SchemaReader() {
  data_rd.reset();
  schema_rd.reset();
  if (data_file) std::fclose(data_file);
  if (schema_file) std::fclose(schema_file);
}

void schema_reader_settings(EnvRecord& env, SchemaReader& r) {
  const TextSettings s = text_settings_from_env(env);
  r.punct.decimal_point = s.decimal_point;
  r.punct.thousands = s.thousands;
  r.punct.currency = s.currency;
  r.punct.extended_missing = s.extended_read;
  date_cell_parser_init(r.dates, env, s, r.date_pattern, r.time_pattern);
  const int32_t mode = option_int(env, kOptUserMissing);
  r.user_missing_mode = mode >= 0 && mode <= 2 ? mode : 0;
  r.index.clear();
  for (size_t k = 0; k < r.info.vars.size(); ++k) r.index[r.info.vars[k].var] = k;
}

void schema_open_data(EnvRecord& env, SchemaReader& r, const std::string& schema_path) {
  r.index.clear();
  for (size_t k = 0; k < r.info.vars.size(); ++k) r.index[r.info.vars[k].var] = k;
  if (r.info.inline_data) {
    r.rd = r.schema_rd.get();
  } else {
    std::string path;
    const std::string& named = r.info.data_file;
    if (!named.empty() && file_exists(named))
      path = named;
    else if (!named.empty() && named[0] != '/' && file_exists(dir_of(schema_path) + named))
      path = dir_of(schema_path) + named;
    else
      path = with_extension(schema_path, ".dat");
    r.data_file = std::fopen(path.c_str(), "rb");
    if (!r.data_file) RaiseErrorF(env, "Cannot open data file: %s", path.c_str());
    const char* encoding = r.info.encoding.empty() ? input_encoding(env) : r.info.encoding.c_str();
    open_rdline(env, r, r.data_file, encoding, path, r.data_rd);
    r.rd = r.data_rd.get();
  }
  // A quoted line break belongs to its field whatever the delimiter.
  if (r.info.delimited) rdline_set_join(*r.rd, '"', r.info.delimiter, 0);
  skip_to_first_line(r);
  r.records = 0;
}

int32_t schema_read_record(EnvRecord& env, SchemaReader& r) {
  if (!r.rd) return -1;
  return r.info.delimited ? delimited_record(env, r) : fixed_record(env, r);
}

const MissingSpec* schema_user_missing(EnvRecord& env, const VarRecord& v) {
  auto* r = dynamic_cast<SchemaReader*>(env.transfer.reader_state.get());
  if (!r) return nullptr;
  auto it = r->index.find(&v);
  if (it == r->index.end()) return nullptr;
  const MissingSpec& m = r->info.vars[it->second].missing;
  return m.count ? &m : nullptr;
}

// The fixed-column reader that DX_DefineAsciiVar installs when its definitions are finished.
bool fixed_text_install_reader(EnvRecord& env);

extern const FormatReaderOps kSchemaReader = {
    .flags = 0,
    .open = nullptr,
    .read_dict = schema_read_dict,
    .read_case = schema_read_case,
    .save_position = schema_save,
    .restore_position = schema_restore,
    .read_members = nullptr,
    .select_member = nullptr,
    .close = nullptr,
    .user_missing = schema_user_missing,
};

namespace {
const FormatReaderOps kDefinedFixedReader = {
    .flags = 0,
    .open = nullptr,
    .read_dict = nullptr,
    .read_case = schema_read_case,
    .save_position = schema_save,
    .restore_position = schema_restore,
    .read_members = nullptr,
    .select_member = nullptr,
    .close = nullptr,
};
}  // namespace

bool fixed_text_install_reader(EnvRecord& env) {
  TransferState& t = env.transfer;
  if (!t.input_open || t.input_path.empty()) {
    SetMessageF(env, "%s", "Open the fixed-column input file before its variables are defined");
    return false;
  }
  SchemaReader& r = make_reader_state<SchemaReader>(env);
  DictState& d = env.dict;
  uint32_t lines = 1;
  for (int32_t i = 0; i < dict_count(d); ++i) {
    VarRecord* v = dict_var(d, i);
    SchemaVar sv;
    sv.var = v;
    sv.line = v->fixed_record;
    sv.column = v->fixed_column;
    sv.width = v->input_width;
    sv.implied = v->implied_decimals > 0 && v->implied_decimals <= kMaxImplied ? v->implied_decimals : 0;
    r.info.vars.push_back(std::move(sv));
    lines = std::max<uint32_t>(lines, static_cast<uint32_t>(v->fixed_record) + 1);
    if (v->fixed_column + v->input_width > r.info.line_width) r.info.line_width = v->fixed_column + v->input_width;
  }
  r.info.lines_per_record = lines;
  schema_reader_settings(env, r);
  const std::string path = t.input_path;
  r.data_file = std::fopen(path.c_str(), "rb");
  if (!r.data_file) {
    SetMessageF(env, "Cannot open data file: %s", path.c_str());
    return false;
  }
  r.data_rd.reset(rdline_open(env, file_source(r.data_file), input_encoding(env), 0));
  if (!r.data_rd) {
    SetMessageF(env, "Cannot open data file: %s", path.c_str());
    return false;
  }
  r.rd = r.data_rd.get();
  rdline_mark_data_start(*r.rd);
  r.index.clear();
  for (size_t k = 0; k < r.info.vars.size(); ++k) r.index[r.info.vars[k].var] = k;
  dict_derive_api_types(d);
  t.reader = &kDefinedFixedReader;
  t.read_case = schema_read_case;
  t.dict_read = 1;
  t.selected_count = static_cast<uint32_t>(dict_count(d));
  return true;
}

}  // namespace tabulon
