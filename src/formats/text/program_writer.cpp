#include "formats/text/program_writer.h"
#include "engine/output_files.h"

#include <strings.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "api/env_record.h"
#include "api/option_slots.h"
#include "api/raise.h"
#include "dict/dictionary.h"
#include "encoding/names_pass.h"
#include "encoding/transcode.h"
#include "engine/format_hooks.h"
#include "formats/text/number_text.h"
#include "io/stream.h"

namespace tabulon {

namespace {

constexpr int32_t kDataBuffer = 1 << 16;
constexpr uint32_t kPreservedDefaultWidth = 16;

// The inline schema reads month first.
const char* const kSchemaPatterns[3] = {"%0m/%0d/%Y", "%0H:%0M:%0S", "%0m/%0d/%Y %0H:%0M:%0S"};

// A duration keeps its sign and hours beyond 23 ("-123456:00:00").
constexpr uint32_t kTimeWidth = 13;
// Longest string column the SPSS, SAS and Stata programs declare (SPSS and SAS read 32767
// bytes; Stata's dictionaries stop at 2045, its program says so).
constexpr uint32_t kLongestString = 32767;

// Bytes of a string column in the output encoding. The optimization pass measured the
// longest value in UTF-8, which no single-byte output exceeds; without it the input width
// grows threefold when single-byte input text becomes UTF-8.
uint32_t string_width(EnvRecord& env, const VarRecord& v) {
  uint32_t w = v.print_width;
  if (v.state_flags & kVarOptimized) {
    w = v.output_width;
  } else if (slot_converts(env.encoding.input[0]) && !slot_converts(env.encoding.output[0])) {
    w = w > kLongestString / 3 ? kLongestString : w * 3;
  }
  if (w > kLongestString) w = kLongestString;
  return w ? w : 1;
}

uint32_t default_width(const VarRecord& v) {
  switch (v.ttype) {
    case 2: return 4;
    case 3: return 6;
    case 4: return 11;
    case 7: return 11;
    case 8: return 8;
    case 9: return 20;
    default: return kNumberFixedWidth;  // the shortest exact text of any double
  }
}

}  // namespace

// SPSS, Stata and SAS all read day-month-year.
const char* const kPackagePatterns[3] = {"%0d-%0m-%Y", "%0H:%0M:%0S", "%0d-%b-%Y %0H:%0M:%0S"};

void program_layout(ProgramContext& c, bool preserve) {
  c.start.clear();
  c.width.clear();
  c.total = 0;
  for (VarRecord* v : c.vars) {
    uint32_t w;
    if (v->ttype == 7)
      w = 11;
    else if (v->ttype == 8)
      w = kTimeWidth;
    else if (v->is_string())
      w = string_width(*c.env, *v);
    else if (v->ttype == 9)
      w = 20;
    else if (preserve)
      w = v->print_width ? v->print_width : kPreservedDefaultWidth;
    else
      w = default_width(*v);
    c.start.push_back(c.total);
    c.width.push_back(w);
    c.total += w;
  }
}

namespace {

bool write_all(Stream* s, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const size_t n = std::min<size_t>(text.size() - done, 1u << 30);
    if (StreamWrite(s, text.data() + done, static_cast<int32_t>(n)) != static_cast<int32_t>(n)) return false;
    done += n;
  }
  return !(s->error & STREAM_ERR_WRITE);
}

}  // namespace

// The program in the output encoding.
std::string encoded(EnvRecord& env, const std::string& text) {
  ConverterSlot& slot = env.encoding.output[0];
  if (!slot.has_descriptor() || (slot.flags & (kSlotNoConversion | kSlotPassThrough))) return text;
  return transcode_to_string(env, slot, text.data(), text.size());
}

bool write_file(EnvRecord& env, const std::string& target, const std::string& text) {
  const std::string path = engine_side_file(env, target);
  if (path.empty()) return true;  // no program beside standard output or a device
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const std::string bytes = encoded(env, text);
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

std::string read_user_header(EnvRecord& env, const char* ext) {
  const char* dir = option_text(env, kOptCodeHeaderPath);
  if (!dir || !*dir || std::strcmp(dir, "none") == 0) return std::string();
  std::string path = dir;
  if (path.back() != '/') path += '/';
  path += ext;
  path += ".sth";
  std::ifstream f(path, std::ios::binary);
  if (!f) RaiseErrorF(env, "Cannot open user header file: %s", path.c_str());
  std::stringstream all;
  all << f.rdbuf();
  return all.str();
}

void legalize_program_names(EnvRecord& env, int32_t code) {
  const NameRules* rules = nullptr;
  switch (code) {
    case 39:
    case 40:
    case 47: rules = &kRulesProgram32; break;
    case 41: rules = &kRulesStata; break;
    case 64: rules = &kRulesProgram8; break;
    default: return;  // schema names are kept as they are
  }
  legalize_dictionary_names(env, *rules, code, true);
}

void program_context_settings(EnvRecord& env, ProgramContext& c) {
  c.env = &env;
  c.eol = text_line_end(option_int(env, kOptLineEnd));
  c.comments = option_int(env, kOptCodeOmitHeader) == 0;
  c.short_labels = option_int(env, kOptProgramShortLabels) != 0;
  c.encoding = option_user_encoding(env, 2);
  if (strcasecmp(c.encoding.c_str(), "system") == 0) c.encoding.clear();  // the default, not a choice
}

namespace {

// ---- Mplus data: numbers separated by commas, "." when missing ----

int32_t mplus_record(EnvRecord& env, ProgramWriter& p) {
  DictState& d = env.dict;
  std::vector<char>& out = p.data.buf;
  char num[kNumberTextMax + 2];
  bool first = true;
  for (VarRecord* v : p.ctx.vars) {
    if (!first) out.push_back(',');
    first = false;
    if (v->missing) {
      out.push_back('.');
      continue;
    }
    const size_t n = format_number_default(var_get_double(d, *v), num);
    if (n == 0)
      out.push_back('.');
    else
      out.insert(out.end(), num, num + n);
  }
  out.insert(out.end(), p.data.eol, p.data.eol + p.data.eol_len);
  if (out.size() >= (1u << 20)) {
    if (StreamWrite(p.data.out, out.data(), static_cast<int32_t>(out.size())) != static_cast<int32_t>(out.size()))
      return -1;
    out.clear();
  }
  return 0;
}

// ---- format entry points ----

int32_t program_open(EnvRecord& env) {
  TransferState& t = env.transfer;
  ProgramWriter& p = make_writer_state<ProgramWriter>(env);
  ProgramContext& c = p.ctx;
  c.code = t.output_code;
  c.out_path = t.output_path;
  program_context_settings(env, c);
  DictState& d = env.dict;
  p.mplus = c.code == 64;
  if (p.mplus)
    for (int32_t i = 0; i < dict_count(d); ++i)
      if (dict_var(d, i)->is_string()) dict_var(d, i)->selected = 0;
  // Programs beside the output read the same data, so its names and dates must suit them too.
  p.extras = extra_program_mask(env, c.code);
  legalize_program_names(env, p.extras && c.code == 46 ? 47 : c.code);
  for (int32_t i = 0; i < dict_count(d); ++i)
    if (dict_var(d, i)->selected) c.vars.push_back(dict_var(d, i));
  program_layout(c, option_int(env, kOptProgPreserveWidths) != 0);

  // Where the data goes.
  Stream* data_out = nullptr;
  if (c.code == 53) {
    data_out = t.output_stream.get();
  } else if (c.code == 47) {
    data_out = t.output_stream.get();
    c.data_path = c.out_path;
  } else {
    std::string path = path_with_extension(c.out_path, ".dat");
    if (path == c.out_path) path += ".dat";
    c.data_path = path;
    const std::string write_path = engine_side_file(env, path);
    p.data_stream.reset(write_path.empty() ? nullptr : StreamOpenFile(&env, write_path.c_str(), "wb", kDataBuffer));
    if (!p.data_stream) RaiseErrorF(env, "Cannot open output file: %s", path.c_str());
    data_out = p.data_stream.get();
  }
  if (option_int(env, kOptProgOmitPaths) && c.code != 53) {
    const size_t slash = c.data_path.find_last_of('/');
    if (slash != std::string::npos) c.data_path = c.data_path.substr(slash + 1);
  }

  // Date texts of the data.
  const char* const* patterns = c.code == 53 ? kSchemaPatterns : kPackagePatterns;
  for (int k = 0; k < 3; ++k) {
    const bool schema = (c.code == 46 && !p.extras) || c.code == 55;
    const char* own = schema ? date_pattern_text(env, kPatternsWrite, k) : nullptr;
    c.date_pattern[k] = own ? own : schema ? kSchemaPatterns[k] : patterns[k];
  }

  // The data writer: delimited for 55 and 64, fixed columns for the rest.
  TextWriter& w = p.data;
  if (text_writer_open(env, w, c.code == 55 || c.code == 64 ? 18 : 19, data_out, std::string()) != 0) return -1;
  for (int k = 0; k < 3; ++k) {
    compile_format_pattern(c.date_pattern[k], &w.date_fmt[k], k == kDateKindTime);
    w.date_fraction[k] = false;  // the programs read whole seconds in their columns
  }
  w.vars = c.vars;
  w.cut.assign(w.vars.size(), 0);
  if (c.code == 55) {
    w.s.write_vnames = false;
    w.s.write_delimiter = ',';
    w.s.write_quote = '"';
    w.s.write_precision = 0;
    w.s.decimal_point = '.';
    w.s.na_write_set = false;
    w.s.extended_write = false;
  } else {
    w.start = c.start;
    w.width = c.width;
    w.total = c.total;
    w.s.decimal_point = '.';
  }

  // The program.
  const char* ext = c.code == 39 ? "sps" : c.code == 40 ? "sas" : c.code == 41 ? "do" : c.code == 64 ? "inp" : "sch";
  if (c.code != 47) c.user_header = read_user_header(env, ext);
  std::string program;
  switch (c.code) {
    case 39: program = spss_program(c); break;
    case 40: program = sas_program(c); break;
    case 41: {
      const std::string dct = path_with_extension(c.out_path, ".dct");
      std::string dictionary;
      stata_program(c, dct, &program, &dictionary);
      if (!write_file(env, dct, dictionary)) RaiseErrorF(env, "Cannot open output file: %s", dct.c_str());
      break;
    }
    case 64: program = mplus_program(c); break;
    case 47: write_extra_programs(c, kAllPrograms); break;
    default: program = schema_program(c); break;
  }
  if (c.code != 47 && !write_all(t.output_stream.get(), encoded(env, program))) return -1;
  return 0;
}

int32_t program_write_case(EnvRecord& env) {
  ProgramWriter* p = writer_state<ProgramWriter>(env);
  if (!p) return -1;
  if (p->mplus) return mplus_record(env, *p);
  return text_writer_record(env, p->data);
}

int32_t program_close(EnvRecord& env) {
  ProgramWriter* p = writer_state<ProgramWriter>(env);
  if (!p) return 0;
  int32_t r = 0;
  if (p->mplus) {
    std::vector<char>& out = p->data.buf;
    if (!out.empty() && StreamWrite(p->data.out, out.data(), static_cast<int32_t>(out.size())) !=
                            static_cast<int32_t>(out.size()))
      r = -1;
    out.clear();
  } else {
    r = text_writer_close(env, p->data);
  }
  if (p->data_stream) {
    if (p->data_stream->error & STREAM_ERR_WRITE) r = -1;
    p->data_stream.reset();
    p->data.out = nullptr;
  }
  if (r == 0 && p->extras) write_extra_programs(p->ctx, p->extras);
  return r;
}

}  // namespace

extern const FormatWriterOps kProgramWriter = {
    .flags = 0,
    .open = program_open,
    .write_case = program_write_case,
    .close = program_close,
};

// ---- shared helpers ----

ColumnWriter::ColumnWriter(std::string& out, const char* eol, int per_line, size_t field, size_t limit, size_t indent)
    : out_(out), eol_(eol), per_line_(per_line), field_(field), limit_(limit >= 80 && limit <= 255 ? limit : 80),
      indent_(indent) {}

void ColumnWriter::add(const std::string& item) {
  const size_t padded = item.size() < field_ ? field_ : item.size();
  if (count_ > 0 && (count_ >= per_line_ || column_ + padded > limit_)) {
    while (!out_.empty() && out_.back() == ' ') out_.pop_back();
    out_ += eol_;
    count_ = 0;
    column_ = 0;
  }
  if (count_ == 0 && indent_) {
    out_.append(indent_, ' ');
    column_ = indent_;
  }
  out_ += item;
  column_ += item.size();
  ++count_;
  if (count_ < per_line_ && item.size() < field_) {
    out_.append(field_ - item.size(), ' ');
    column_ += field_ - item.size();
  }
}

void ColumnWriter::finish() {
  if (count_ > 0) {
    while (!out_.empty() && out_.back() == ' ') out_.pop_back();
    out_ += eol_;
  }
  count_ = 0;
  column_ = 0;
}

std::string program_header(const ProgramContext& c, const char* package) {
  if (!c.user_header.empty()) {
    std::string h = c.user_header;
    if (h.back() != '\n') h += c.eol;
    return h;
  }
  std::string h;
  if (c.comments) {
    h += "/* This " + std::string(package) + " program was automatically generated by Tabulon ver.12.1.196.1216 */" +
         c.eol;
    if (!c.encoding.empty()) h += "/* ENCODING " + c.encoding + " */" + c.eol;
  }
  return h;
}

std::string number_text15(double x) {
  char b[64];
  const size_t n = format_number_general(x, 15, b, sizeof b);
  return std::string(b, n);
}

std::string path_with_extension(const std::string& path, const char* ext) {
  const size_t slash = path.find_last_of('/');
  const size_t dot = path.find_last_of('.');
  const bool has = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  return (has ? path.substr(0, dot) : path) + ext;
}

std::vector<int> label_set_leaders(const std::vector<VarRecord*>& vars) {
  std::vector<int> leader(vars.size(), -1);
  auto same = [](const VarRecord& a, const VarRecord& b) {
    if (a.is_string() != b.is_string() || a.value_labels.size() != b.value_labels.size()) return false;
    for (size_t k = 0; k < a.value_labels.size(); ++k) {
      const ValueLabel& x = a.value_labels[k];
      const ValueLabel& y = b.value_labels[k];
      if (x.value != y.value || x.text != y.text || x.label != y.label || x.missing != y.missing) return false;
    }
    return true;
  };
  for (size_t k = 0; k < vars.size(); ++k) {
    if (vars[k]->value_labels.empty()) continue;
    leader[k] = static_cast<int>(k);
    for (size_t j = 0; j < k; ++j)
      if (leader[j] == static_cast<int>(j) && same(*vars[j], *vars[k])) {
        leader[k] = static_cast<int>(j);
        break;
      }
  }
  return leader;
}

std::string read_pattern_of(const std::string& write_pattern) {
  std::string out;
  for (size_t i = 0; i < write_pattern.size(); ++i) {
    out += write_pattern[i];
    if (write_pattern[i] == '%' && i + 1 < write_pattern.size() && write_pattern[i + 1] == '0') ++i;
  }
  return out;
}

}  // namespace tabulon
