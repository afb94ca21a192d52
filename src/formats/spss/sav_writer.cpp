#include "formats/spss/sav_writer.h"
#include "formats/spss/spss_formats.h"

#include <strings.h>
#include <zlib.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "api/env_record.h"
#include "api/messages.h"
#include "dates/day_number.h"
#include "api/option_slots.h"
#include "api/raise.h"
#include "dict/dictionary.h"
#include "encoding/legalize.h"
#include "encoding/names_pass.h"
#include "encoding/transcode.h"
#include "engine/change_report.h"
#include "engine/engine_util.h"
#include "engine/format_hooks.h"
#include "engine/stream_glue.h"
#include "dict/user_missing.h"
#include "io/stream.h"

namespace tabulon {

namespace {

constexpr size_t kFlushAt = 1 << 20;

bool is_default_encoding(const std::string& n) {
  return n.empty() || strcasecmp(n.c_str(), "system") == 0 || strcasecmp(n.c_str(), "CHAR") == 0 ||
         strcasecmp(n.c_str(), "default") == 0;
}
bool is_utf8(const std::string& n) {
  return strcasecmp(n.c_str(), "utf-8") == 0 || strcasecmp(n.c_str(), "utf8") == 0;
}

uint32_t string_width(const VarRecord& v) {
  const uint32_t w = v.output_width ? v.output_width : v.print_width;
  return w ? w : 1;
}

uint32_t units_of(uint32_t width) { return (width + 7) / 8; }

// Longest prefix of at most max bytes; UTF-8 keeps whole characters.
size_t cut_length(const SavWriter& w, const char* s, size_t n, size_t max) {
  if (n <= max) return n;
  return w.converts ? max : utf8_cut(s, n, max);
}

int32_t print_format(const EnvRecord& env, const VarRecord& v, uint8_t kind, uint32_t width) {
  SpssFormat given;
  if (kind != kSavString && spss_input_format(env, v, &given))  // SPSS to SPSS: the format as it was
    return (given.type << 16) | (given.width << 8) | given.decimals;
  int type = kSavFmtF, wd = 8, dec = 0;
  switch (kind) {
    case kSavString:
      type = kSavFmtA;
      wd = static_cast<int>(std::min<uint32_t>(width, 255));
      break;
    case kSavDate:
      if (v.ttype == T_DATETIME) {
        type = kSavFmtDateTime;
        wd = 20;
      } else {
        type = kSavFmtDate;
        wd = 11;
      }
      break;
    case kSavTime:
      type = kSavFmtTime;
      wd = 8;
      break;
    default: {
      const bool whole = v.ttype == T_BYTE || v.ttype == T_INT || v.ttype == T_LONG;
      dec = v.decimals == kDecimalsNotGiven ? (whole ? 0 : 2) : std::min<int>(v.decimals, 16);
      wd = v.print_width ? static_cast<int>(std::min<uint32_t>(v.print_width, 40)) : 8;
      if (dec > 0 && wd < dec + 2) wd = std::min(dec + 2, 40);
      break;
    }
  }
  return (type << 16) | (wd << 8) | dec;
}

// Discrete missing values of a string of at most 8 bytes (wider ones need a record of their
// own), in the output encoding; a value that does not fit the column could never match.
void missing_texts(EnvRecord& env, SavWriter& w, SavOutVar& o) {
  const MissingTexts* m = o.width <= 8 ? input_missing_texts(env, *o.var) : nullptr;
  if (!m) return;
  int n = 0;
  for (int k = 0; k < m->count && k < 3; ++k) {
    std::string text = m->value[k];
    if (w.converts && !text.empty()) {
      size_t len = 0;
      ConverterSlot& slot = env.encoding.output[0];
      if (transcode_quiet(env, slot, text.data(), text.size(), nullptr, 0, &len, true) != kTcOk) continue;
      text.assign(slot.out_buf.data(), len);
    }
    if (text.size() > o.width) continue;
    o.missing_text[n++] = std::move(text);
  }
  o.n_missing = n;
}

// User-missing definitions the input gave (schema input): up to three values, or one
// range and one value.
void missing_values(EnvRecord& env, SavWriter& w, SavOutVar& o) {
  if (o.kind == kSavString) return missing_texts(env, w, o);
  if (o.kind != kSavNumber) return;
  const MissingSpec* m = input_missing_spec(env, *o.var);
  if (!m) return;
  double lowest, highest;
  std::memcpy(&lowest, &kSavLowestBits, 8);
  std::memcpy(&highest, &kSavHighestBits, 8);
  double values[3];
  int nvalues = 0;
  bool range = false;
  double lo = 0, hi = 0;
  for (int k = 0; k < m->count && k < 3; ++k) {
    const MissingEntry& e = m->entry[k];
    switch (e.kind) {
      case kMissValue:
        values[nvalues++] = e.value;
        continue;
      case kMissAtLeast:
      case kMissAbove:
        lo = e.value, hi = highest;
        break;
      case kMissAtMost:
      case kMissBelow:
        lo = lowest, hi = e.value;
        break;
      case kMissRange:
        lo = e.value, hi = e.high;
        break;
      default:
        continue;
    }
    if (range) continue;
    range = true;
    o.missing[0] = lo;
    o.missing[1] = hi;
  }
  if (range) {
    o.n_missing = nvalues ? -3 : -2;
    if (nvalues) o.missing[2] = values[0];
  } else {
    o.n_missing = nvalues;
    for (int k = 0; k < nvalues; ++k) o.missing[k] = values[k];
  }
}

// Short names: upper case, 8 bytes, unique among the short names. Segment variables of very
// long strings get names of their own. The pass is silent.
void short_names(EnvRecord& env, SavWriter& w) {
  struct Quiet {
    EnvRecord& env;
    uint32_t saved;
    ~Quiet() { env.info_level_mask = saved; }
  } quiet{env, env.info_level_mask};
  env.info_level_mask = 0;
  LegalizeContext ctx;
  ctx.format_code = 22;
  ctx.out_slot = &env.encoding.output[0];
  for (SavOutVar& o : w.vars) {
    std::string name = o.var->name;
    legalize_name(env, name, kRulesSpssShort, ctx);
    o.short_name = name;
    for (uint32_t k = 1; k < o.segments; ++k) {
      std::string seg = o.var->name.substr(0, utf8_cut(o.var->name.data(), o.var->name.size(), 5));
      seg += std::to_string(k);
      legalize_name(env, seg, kRulesSpssShort, ctx);
      o.segment_names.push_back(seg);
    }
  }
}

void variable_label(EnvRecord& env, SavWriter& w, SavOutVar& o) {
  const VarRecord& v = *o.var;
  if (v.label.empty()) return;
  std::string text = v.label;
  if (w.converts) {
    size_t len = 0;
    ConverterSlot& slot = env.encoding.output[0];
    if (transcode_quiet(env, slot, v.label.data(), v.label.size(), nullptr, 0, &len, true) != kTcOk) {
      emit_messagef(
          env, MsgKind::Error,
          "The variable label assigned to the variable %s was lost because the chosen output encoding is "
          "incorrect",
          v.name.c_str());
      return;
    }
    text.assign(slot.out_buf.data(), len);
  }
  const size_t keep = cut_length(w, text.data(), text.size(), w.label_max);
  if (keep < text.size()) {
    text.resize(keep);
    emit_messagef(
        env, MsgKind::Warning,
        "The width of the var.label assigned to the variable %s was truncated to %zu bytes, since this is "
        "the max. var. label length, supported by SPSS",
        v.name.c_str(), keep);
  }
  o.label = std::move(text);
}

// ---- compressed data ----

// zlib level of "$FL3" output: the fastest level keeps the writer near the speed of plain
// bytecode; higher levels save little on bytecode already packed.
constexpr int kZlibLevel = 1;

// The bytecode of one case, written straight into the buffer: the caller makes room for the
// longest case first (9 bytes per unit and one command block).
struct Packer {
  uint8_t* base;
  size_t pos;       // end of the bytes written
  size_t block;     // offset of the command block being filled
  uint32_t used;    // commands in it (8: none open)

  // One command, and with kSavCmdRaw the place of the 8 bytes that follow its block.
  uint8_t* command(uint8_t cmd) {
    if (used == 8) {
      block = pos;
      std::memset(base + pos, 0, 8);
      pos += 8;
      used = 0;
    }
    base[block + used++] = cmd;
    if (cmd != kSavCmdRaw) return nullptr;
    uint8_t* p = base + pos;
    pos += 8;
    return p;
  }
  void number(double x) {
    if (x >= -99 && x <= 151 && x == std::trunc(x)) {
      command(static_cast<uint8_t>(static_cast<int>(x) + 100));
      return;
    }
    std::memcpy(command(kSavCmdRaw), &x, 8);
  }
  void raw(double x) { std::memcpy(command(kSavCmdRaw), &x, 8); }
};

Packer packer(SavWriter& w, size_t room) {
  const size_t at = w.buf.size();
  w.buf.resize(at + room);
  return Packer{w.buf.data(), at, w.block, w.block_used};
}

void packed(SavWriter& w, const Packer& pk) {
  w.buf.resize(pk.pos);
  w.block = pk.block;
  w.block_used = pk.used;
}

// The 8-byte units of a string: segment k holds bytes [255k, 255k + 255) of the text.
void put_string(Packer& pk, const SavOutVar& o, const char* s, size_t n) {
  static const char kBlanks[8] = {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
  for (uint32_t k = 0; k < o.segments; ++k) {
    const uint32_t seg_width =
        k + 1 < o.segments ? kSavSegmentWidth : o.width - (o.segments - 1) * kSavSegmentStep;
    const size_t from = static_cast<size_t>(k) * kSavSegmentWidth;
    const size_t have = n > from ? std::min<size_t>(n - from, seg_width) : 0;
    const uint32_t units = units_of(seg_width);
    for (uint32_t u = 0; u < units; ++u) {
      const size_t at = static_cast<size_t>(u) * 8;
      if (at >= have) {
        pk.command(kSavCmdBlanks);
        continue;
      }
      const size_t take = std::min<size_t>(have - at, 8);
      if (take == 8 && std::memcmp(s + from + at, kBlanks, 8) == 0) {
        pk.command(kSavCmdBlanks);
        continue;
      }
      uint8_t* p = pk.command(kSavCmdRaw);
      std::memcpy(p, s + from + at, take);
      if (take < 8) std::memset(p + take, ' ', 8 - take);
    }
  }
}

void write_bytes(EnvRecord& env, SavWriter& w, const uint8_t* p, size_t n, bool data) {
  size_t done = 0;
  while (done < n) {
    const size_t left = n - done;
    const int32_t chunk = left > (1u << 30) ? (1 << 30) : static_cast<int32_t>(left);
    if (StreamWrite(w.out, p + done, chunk) != chunk) sav_fail(env, data, kSavErrWrite);
    done += static_cast<size_t>(chunk);
  }
  if (w.out->error & STREAM_ERR_WRITE) sav_fail(env, data, kSavErrWrite);
}

// Hands the first n bytes of the buffer to the stream.
void write_out(EnvRecord& env, SavWriter& w, size_t n, bool data) { write_bytes(env, w, w.buf.data(), n, data); }

uLongf deflate_into(std::vector<uint8_t>& out, const uint8_t* p, size_t n, int* rc) {
  const uLong bound = compressBound(static_cast<uLong>(n));
  if (out.size() < bound) out.resize(bound);
  uLongf len = bound;
  *rc = compress2(out.data(), &len, p, static_cast<uLong>(n), kZlibLevel);
  return len;
}

// Waits for the block compressing on the second thread and writes it.
void finish_pending(EnvRecord& env, SavWriter& w) {
  if (!w.zpending.valid()) return;
  w.zpending.get();
  SavWriter::ZJob& j = w.zjob;
  if (j.rc != Z_OK) sav_fail(env, true, kSavErrDeflate);
  write_bytes(env, w, j.out.data(), j.out_len, true);
  w.zblocks.emplace_back(static_cast<uint32_t>(j.in.size()), static_cast<uint32_t>(j.out_len));
}

// One zlib block of bytecode; its sizes go to the trailer. With no block on the second thread
// this one goes there; otherwise it is compressed here meanwhile and written after that one.
void deflate_block(EnvRecord& env, SavWriter& w, const uint8_t* p, size_t n) {
  if (!w.zpending.valid()) {
    SavWriter::ZJob& j = w.zjob;
    j.in.assign(p, p + n);
    try {
      w.zpending = std::async(std::launch::async, [&j] { j.out_len = deflate_into(j.out, j.in.data(), j.in.size(), &j.rc); });
      return;
    } catch (const std::system_error&) {
      // No thread to be had: the block is compressed here.
    }
  }
  int rc = Z_OK;
  const uLongf len = deflate_into(w.zbuf, p, n, &rc);
  finish_pending(env, w);
  if (rc != Z_OK) sav_fail(env, true, kSavErrDeflate);
  write_bytes(env, w, w.zbuf.data(), len, true);
  w.zblocks.emplace_back(static_cast<uint32_t>(n), static_cast<uint32_t>(len));
}

// Writes the first n bytes of the buffer: as they are, or for "$FL3" as whole zlib blocks
// (all of them when last), and keeps the rest.
void drain(EnvRecord& env, SavWriter& w, size_t n, bool last) {
  size_t done = 0;
  if (!w.zlib) {
    write_out(env, w, n, true);
    done = n;
  } else {
    while (n - done >= kSavZlibBlock || (last && done < n)) {
      const size_t k = std::min<size_t>(n - done, kSavZlibBlock);
      deflate_block(env, w, w.buf.data() + done, k);
      done += k;
    }
  }
  if (last) finish_pending(env, w);
  if (done == 0) return;
  const size_t tail = w.buf.size() - done;
  if (tail) std::memmove(w.buf.data(), w.buf.data() + done, tail);
  w.buf.resize(tail);
  if (w.block_used != 8) w.block -= done;
}

// Everything before the open command block can go; the block waits for its operands.
void flush_whole_blocks(EnvRecord& env, SavWriter& w) {
  drain(env, w, w.block_used == 8 ? w.buf.size() : w.block, false);
}

size_t flush_at(const SavWriter& w) { return w.zlib ? kSavZlibBlock + 4096 : kFlushAt; }

bool wants_zlib(const EnvRecord& env) {
  switch (option_int(env, kOptSpssCompression)) {
    case 1:
      return false;
    case 2:
      return true;
    default: {
      const std::string& path = env.transfer.output_path;
      const size_t dot = path.rfind('.');
      return dot != std::string::npos && strcasecmp(path.c_str() + dot, ".zsav") == 0;
    }
  }
}

// "$FL3" close: the zlib trailer after the last block, then its place in the zlib header.
void put_zlib_trailer(EnvRecord& env, SavWriter& w) {
  const int64_t trailer_ofs = StreamTell64(w.out);
  if (trailer_ofs < 0 || w.zblocks.size() > static_cast<size_t>(INT32_MAX / 24))
    sav_fail(env, true, kSavErrDeflate);
  const int64_t neg_bias = -static_cast<int64_t>(kSavBias), zero = 0;
  sav_put(w, &neg_bias, 8);
  sav_put(w, &zero, 8);
  sav_put32(w, static_cast<int32_t>(kSavZlibBlock));
  sav_put32(w, static_cast<int32_t>(w.zblocks.size()));
  int64_t raw_ofs = w.zheader_ofs, packed_ofs = w.zheader_ofs + 24;
  for (const auto& [raw, zipped] : w.zblocks) {
    sav_put(w, &raw_ofs, 8);
    sav_put(w, &packed_ofs, 8);
    sav_put32(w, static_cast<int32_t>(raw));
    sav_put32(w, static_cast<int32_t>(zipped));
    raw_ofs += raw;
    packed_ofs += zipped;
  }
  if (packed_ofs != trailer_ofs) sav_fail(env, true, kSavErrDeflate);
  const int64_t place[2] = {trailer_ofs, 24 + 24 * static_cast<int64_t>(w.zblocks.size())};
  sav_flush(env, w, true);
  if (StreamSeek64(w.out, w.zheader_ofs + 8, SEEK_SET) != 0 || StreamWrite(w.out, place, 16) != 16 ||
      (w.out->error & STREAM_ERR_WRITE))
    sav_fail(env, true, kSavErrPatch);
}

}  // namespace

// ---- shared helpers ----

void sav_put(SavWriter& w, const void* p, size_t n) {
  const uint8_t* b = static_cast<const uint8_t*>(p);
  w.buf.insert(w.buf.end(), b, b + n);
}
void sav_put32(SavWriter& w, int32_t v) { sav_put(w, &v, 4); }
void sav_put_double(SavWriter& w, double v) { sav_put(w, &v, 8); }
void sav_put_padded(SavWriter& w, const std::string& s, size_t field, char pad) {
  const size_t n = std::min(s.size(), field);
  sav_put(w, s.data(), n);
  w.buf.insert(w.buf.end(), field - n, static_cast<uint8_t>(pad));
}

void sav_flush(EnvRecord& env, SavWriter& w, bool data) {
  write_out(env, w, w.buf.size(), data);
  w.buf.clear();
}

void sav_fail(EnvRecord& env, bool data, int32_t code) {
  if (Stream* s = env.transfer.output_stream.get()) engine_stream_add_errors(s, kStreamIncomplete);
  // Nothing more is written to a file that failed; it is removed when the files are closed.
  if (SavWriter* w = writer_state<SavWriter>(env)) w->out = nullptr;
  RaiseErrorF(env, "SPSS dataset (%s) \n%s was stopped because of the error (%d).",
              engine_file_name(env.transfer.output_path),
              data ? "Writing data to SPSS file" : "Writing SPSS dataset", code);
}

// Before 30 December 1899 a day number carries its time apart from its sign (-1.25 is
// 29 December 1899 at 06:00); the time's seconds are rounded on their own to keep their
// microseconds.
double sav_seconds_of_day(double day) {
  const double whole = std::trunc(day);
  const double time = std::fabs(day - whole);
  return (whole + kSavEpochDays) * 86400.0 + std::nearbyint(time * 86400e6) / 1e6;
}

double sav_seconds_of_time(double day) { return time_to_seconds(day); }

// ---- hooks ----

int32_t sav_open_output(EnvRecord& env) {
  SavWriter& w = make_writer_state<SavWriter>(env);
  w.out = env.transfer.output_stream.get();
  if (!w.out) sav_fail(env, false, kSavErrNoOutput);
  const int32_t setting = option_int(env, kOptOutputVersion);
  w.release = setting > 0 ? setting : 16;
  w.max_string = w.release < 13 ? 255 : 32766;
  w.label_max = w.release <= 12 ? 120 : 256;
  w.value_label_max = w.release >= 14 ? 120 : 60;
  w.converts = slot_converts(env.encoding.output[0]);
  w.zlib = wants_zlib(env);
  emit_messagef(env, MsgKind::Info, "%s%d%s", "Writing SPSS ver. ", w.release, " file has started");
  const EncodingState& st = env.encoding;
  if (is_utf8(st.forced_output) && !is_default_encoding(st.out_encoding) && !is_utf8(st.out_encoding))
    emit_messagef(env, MsgKind::Warning,
                  "Tabulon writes UTF-8 encoded SPSS files only, the requested encoding %s is ignored.",
                  st.out_encoding.c_str());

  for (auto& vp : env.dict.vars) {
    if (!vp->selected) continue;
    SavOutVar o;
    o.var = vp.get();
    switch (vp->ttype) {
      case T_STRING:
        o.kind = kSavString;
        break;
      case T_DATE:
      case T_DATETIME:
        o.kind = kSavDate;
        break;
      case T_TIME:
        o.kind = kSavTime;
        break;
      default:
        o.kind = kSavNumber;
        break;
    }
    w.vars.push_back(std::move(o));
  }

  // Short names come from the names as the input gave them, before the long names are made.
  for (SavOutVar& o : w.vars) {
    if (o.kind != kSavString) continue;
    o.width = std::min(string_width(*o.var), w.max_string);
    o.cut = string_width(*o.var) > w.max_string;
    o.segments = o.width > kSavSegmentWidth ? (o.width + kSavSegmentStep - 1) / kSavSegmentStep : 1;
  }
  short_names(env, w);
  if (legalize_dictionary_names(env, kRulesSpssLong, 22, false, 0, w.max_string > 255 ? 255 : 0) < 0)
    sav_fail(env, false, kSavErrWrite);

  uint64_t index = 1;
  for (SavOutVar& o : w.vars) {
    const VarRecord& v = *o.var;
    if (o.cut)
      emit_messagef(
          env, MsgKind::Warning,
          "The width of the variable %s was truncated to %u bytes, since this is the max. string length, "
          "supported by SPSS",
          v.name.c_str(), w.max_string);
    if (o.kind == kSavString) {
      o.units = 0;
      for (uint32_t k = 0; k < o.segments; ++k)
        o.units +=
            units_of(k + 1 < o.segments ? kSavSegmentWidth : o.width - (o.segments - 1) * kSavSegmentStep);
    }
    o.format = print_format(env, v, o.kind, o.width);
    o.index = static_cast<uint32_t>(std::min<uint64_t>(index, INT32_MAX));
    index += o.units;
    variable_label(env, w, o);
    missing_values(env, w, o);
  }
  if (index - 1 > static_cast<uint64_t>(INT32_MAX)) sav_fail(env, false, kSavErrTooWide);
  w.case_units = static_cast<uint32_t>(index - 1);

  w.buf.reserve(flush_at(w) + 9 * static_cast<size_t>(w.case_units) + 64);
  sav_put_dictionary(env, w);
  if (w.zlib) {
    // The zlib header: its own offset, then the trailer's offset and length, known at close.
    const int64_t at = StreamTell64(w.out);
    if (at < 0) sav_fail(env, false, kSavErrWrite);
    w.zheader_ofs = at + static_cast<int64_t>(w.buf.size());
    const int64_t header[3] = {w.zheader_ofs, 0, 0};
    sav_put(w, header, sizeof header);
  }
  sav_flush(env, w, false);
  // Output may be written behind by another thread: settle the dictionary now, so that a
  // file that cannot take it fails here, as the dictionary's own error.
  if (StreamFlush(w.out) != 0) sav_fail(env, false, kSavErrWrite);
  return 0;
}

int32_t sav_write_case(EnvRecord& env) {
  SavWriter* wp = writer_state<SavWriter>(env);
  if (!wp || !wp->out) return -1;
  SavWriter& w = *wp;
  Packer pk = packer(w, 9 * static_cast<size_t>(w.case_units) + 16);
  const uint8_t* rec = env.dict.record();
  for (SavOutVar& o : w.vars) {
    const VarRecord& v = *o.var;
    const uint8_t* p = rec + v.offset;
    if (o.kind == kSavString) {
      const char* s = reinterpret_cast<const char*>(p);
      size_t n = v.missing || !v.is_string() ? 0 : std::strlen(s);
      if (n) {
        const std::string_view text = output_string_value(env, s, n, static_cast<int64_t>(w.cases + 1));
        s = text.data();
        n = text.size();
      }
      if (n > o.width) {
        // Releases without very long strings hold 255 bytes in the one segment.
        if (o.cut && w.max_string == kSavSegmentWidth)
          emit_messagef(env, MsgKind::Warning, "<%s:<%.0f>::%s:<%s>::%s>", "Record",
                        static_cast<double>(w.cases + 1), "VarName", v.name.c_str(),
                        "String was cut to 255 bytes.");
        n = cut_length(w, s, n, o.width);
      }
      put_string(pk, o, s, n);
      continue;
    }
    double x;
    std::memcpy(&x, p, 8);
    if (v.missing || v.is_string() || std::isnan(x)) {
      pk.command(kSavCmdSysmis);
      continue;
    }
    if (x == -DBL_MAX) {  // the bits of system missing: every reader takes it for one
      ++o.out_of_range;
      pk.command(kSavCmdSysmis);
      continue;
    }
    switch (o.kind) {
      case kSavDate:
        pk.raw(sav_seconds_of_day(x));
        break;
      case kSavTime:
        pk.raw(sav_seconds_of_time(x));
        break;
      default:
        pk.number(x);
        break;
    }
  }
  packed(w, pk);
  ++w.cases;
  if (w.buf.size() >= flush_at(w)) flush_whole_blocks(env, w);
  return 0;
}

int32_t sav_close_output(EnvRecord& env) {
  SavWriter* wp = writer_state<SavWriter>(env);
  if (!wp || !wp->out) return 0;
  SavWriter& w = *wp;
  for (const SavOutVar& o : w.vars)
    if (o.out_of_range) note_change(env, ChangeKind::ValueOutOfRange, o.var->name, o.out_of_range);
  Packer pk = packer(w, 16);
  pk.command(kSavCmdEnd);
  packed(w, pk);
  w.block_used = 8;
  drain(env, w, w.buf.size(), true);
  if (w.zlib) put_zlib_trailer(env, w);
  // A count that does not fit the field is written as unknown.
  int32_t counts[2] = {static_cast<int32_t>(w.case_units),
                       w.cases > INT32_MAX ? -1 : static_cast<int32_t>(w.cases)};
  const struct {
    int64_t at;
    int32_t* value;
  } patches[2] = {{kSavCaseSizeOffset, &counts[0]}, {kSavCaseCountOffset, &counts[1]}};
  for (const auto& p : patches) {
    if (StreamSeek64(w.out, p.at, SEEK_SET) != 0) sav_fail(env, true, kSavErrPatch);
    if (StreamWrite(w.out, p.value, 4) != 4 || (w.out->error & STREAM_ERR_WRITE))
      sav_fail(env, true, kSavErrPatch);
  }
  StreamSeek64(w.out, 0, SEEK_END);
  return 0;
}

}  // namespace tabulon
