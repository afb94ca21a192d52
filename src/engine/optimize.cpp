// The optimization pass: one read over the cases, then the smallest storage type and
// output width for each selected variable.
#include "engine/optimize.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>

#include "api/call_frame.h"
#include "api/messages.h"
#include "api/option_slots.h"
#include "dict/dictionary.h"
#include "engine/engine_util.h"
#include "engine/format_hooks.h"
#include "engine/transfer.h"
#include "expr/where.h"

namespace tabulon {

namespace {

constexpr int32_t kUserMissingNone = 2;

bool is_date_type(int t) { return t == T_DATE || t == T_TIME || t == T_DATETIME; }

bool skipped(const VarRecord& v, uint32_t mode) {
  if (mode & kOptForce) return false;
  return (v.flags & kVarTypeSetByHost) || (v.state_flags & kVarOptimized);
}

// Width, decimals and integer digits of a number as the text writer shows it.
void measure_width(double x, VarStats& s) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, x);
  int32_t width = static_cast<int32_t>(res.ptr - buf);
  const char* point = static_cast<const char*>(std::memchr(buf, '.', static_cast<size_t>(width)));
  int32_t decimals = 0;
  if (point) {
    const char* e = static_cast<const char*>(std::memchr(buf, 'e', static_cast<size_t>(width)));
    decimals = static_cast<int32_t>((e ? e : res.ptr) - point - 1);
  }
  int32_t int_digits = width - decimals - (point ? 1 : 0);
  if (width > s.widest) s.widest = width;
  if (decimals > s.most_decimals) s.most_decimals = decimals;
  if (int_digits > s.most_int_digits) s.most_int_digits = int_digits;
}

bool access_input(const EnvRecord& env) { return env.transfer.input_code == 23 || env.transfer.input_code == 58; }

// A date or time variable the pass may retype by the parts its values use.
bool date_may_change(const EnvRecord& env, const VarRecord& v, uint32_t mode) {
  if (!v.selected || v.is_string() || skipped(v, mode)) return false;
  return v.ttype == T_DATETIME || (access_input(env) && is_date_type(v.ttype));
}

// Only a text output's date-times can change: each stops mattering once its values have
// shown both a day and a time of day.
bool shown_dates_settled(const EnvRecord& env, const OptimizeState& o) {
  size_t k = 0;
  for (const auto& vp : env.dict.vars) {
    const VarRecord& v = *vp;
    if (!v.selected) continue;
    const VarStats& s = o.stats[k++];
    if (date_may_change(env, v, o.mode) && s.date_parts != 3) return false;
  }
  return true;
}

bool optimize_changes_more_than_dates(const EnvRecord& env, int32_t out_code) {
  // Delimited text and HTML tables show each value by its type alone: neither the
  // narrowed integer types nor string widths reach them. What does: a schema or program
  // file beside the output.
  if (out_code != 18 && out_code != 31) return true;
  if (out_code == 18 && env.options.text.write_schema) return true;
  return (option_int(env, kOptProgramMask) & 7) != 0;
}

// The statistics the pass keeps for a selected variable: none for those whose result
// the pass would not use in this mode.
uint8_t stats_want(const EnvRecord& env, const VarRecord& v, const OptimizeState& o) {
  const uint32_t mode = o.mode;
  if (o.shown_only) return date_may_change(env, v, mode) ? kWantDate : kWantNone;
  if (v.is_string()) return (mode & kOptForce) ? kWantNone : kWantString;
  if (skipped(v, mode)) return kWantNone;
  if (!is_date_type(v.ttype)) return kWantNumber;
  // A date keeps its type unless it may become a date or a time; its statistics still
  // serve widths and constants.
  if ((mode & (kOptWidths | kOptDropConstant)) || v.ttype == T_DATETIME || access_input(env))
    return kWantDate;
  return kWantNone;
}

// The reader's dictionary scan already saw every case: its statistics serve when the
// pass would read exactly the values it saw (no selection of cases, no retyping since).
// Fills `out` (selected variables in order) when they do.
bool scan_stats_serve(const EnvRecord& env, uint32_t mode, std::vector<VarStats>* out) {
  const TransferState& t = env.transfer;
  const ScanStats& scan = t.scan_stats;
  if (!scan.complete || scan.columns.size() != env.dict.vars.size()) return false;
  if (!(mode & kOptExactFloat) || (mode & (kOptWidths | kOptForce | kOptDropConstant | kOptInMemory))) return false;
  if (where_is_set(env) || t.first_case || t.last_case) return false;
  if (out) out->clear();
  for (size_t i = 0; i < scan.columns.size(); ++i) {
    const VarRecord& v = *env.dict.vars[i];
    const ScanStats::Column& c = scan.columns[i];
    if (c.var != &v || c.ttype != v.ttype || (v.flags & kVarTypeSetByHost)) return false;
    if (!v.selected) continue;
    if (!c.usable) return false;
    // A string longer than its slot would be cut in the record (no slot yet: none is cut).
    if (v.is_string() && v.storage_width && !(c.stats.maximum < static_cast<double>(v.storage_width))) return false;
    if (out) out->push_back(c.stats);
  }
  return true;
}

void take_scan_stats(EnvRecord& env, OptimizeState& o) {
  std::vector<VarStats> stats;
  if (!scan_stats_serve(env, o.mode, &stats) || stats.size() != o.stats.size()) return;
  o.stats = std::move(stats);
  o.from_scan = true;
  o.scan_pending = env.transfer.scan_stats.cases;
}

int32_t start_pass(EnvRecord& env, int32_t out_code, uint32_t mode) {
  TransferState& t = env.transfer;
  if (!engine_has_dictionary(env)) return -1;
  const bool in_memory = mode & kOptInMemory;
  if (!in_memory && (!t.input_open || !t.dict_read)) return -1;

  t.optimize.reset(new OptimizeState());
  OptimizeState& o = *t.optimize;
  o.mode = mode;
  o.out_code = out_code;
  o.bytes_per_char = (out_code == 23 || out_code == 24 || out_code == 58) ? 2 : 1;
  if (mode & kOptWidths) {
    emit_message(env, MsgKind::Lib, "Optimization pass will calculate formatted numeric widths");
    o.saved_user_missing = option_int(env, kOptUserMissing);
    o.user_missing_saved = true;
    option_store(env, kOptUserMissing, kUserMissingNone, nullptr);
  }
  if (in_memory) {
    dict_layout_record(env);
  } else {
    o.saved_changes = t.changes.entries;
    transfer_init_read_only(env);
    transfer_save_position(env);
  }
  o.stats.assign(static_cast<size_t>(env.dict.count()), VarStats{});
  where_begin_pass(env);
  if (!in_memory) take_scan_stats(env, o);
  o.shown_only = !o.from_scan && !in_memory && (mode & kOptShownOnly) && !(mode & (kOptForce | kOptDropConstant)) &&
                 !optimize_changes_more_than_dates(env, out_code);
  for (auto& vp : env.dict.vars) {
    if (!vp->selected) continue;
    o.vars.push_back(vp.get());
    o.want.push_back(stats_want(env, *vp, o));
  }
  // A reader that can take the values from its data without filling records does; the
  // pass over a sample (shown only) and the text widths still read cases.
  const FormatReaderOps* reader = t.reader;
  if (!in_memory && !o.from_scan && !o.shown_only && !(mode & kOptWidths) && reader && reader->gather_stats &&
      !where_is_set(env) && !t.first_case && !t.last_case) {
    o.gather = true;
    o.gather_want.assign(env.dict.vars.size(), kWantNone);
    o.gather_stats.assign(env.dict.vars.size(), VarStats{});
    for (size_t i = 0; i < env.dict.vars.size(); ++i)
      if (env.dict.vars[i]->selected) o.gather_want[i] = stats_want(env, *env.dict.vars[i], o);
  }
  return 0;
}

void process_record(EnvRecord& env) {
  OptimizeState& o = *env.transfer.optimize;
  const bool exact = o.mode & kOptExactFloat;
  const bool widths = o.mode & kOptWidths;
  const size_t n = o.vars.size();
  for (size_t k = 0; k < n; ++k) {
    const uint8_t want = o.want[k];
    if (want == kWantNone) continue;
    const VarRecord& v = *o.vars[k];
    VarStats& s = o.stats[k];
    if (want == kWantString) {
      double len = static_cast<double>(std::strlen(var_get_string(env.dict, v))) * o.bytes_per_char;
      if (len > s.maximum) s.maximum = len;
      continue;
    }
    if (var_missing(v) != kValuePresent) continue;
    const double x = var_get_double(env.dict, v);
    if (widths) measure_width(x, s);
    optimize_add_value(s, x, exact, want == kWantDate);
  }
  o.cases++;
}

// The statistics a reader gathered by dictionary variable, as the pass keeps them.
void take_gathered(EnvRecord& env, OptimizeState& o) {
  size_t k = 0;
  for (size_t i = 0; i < env.dict.vars.size(); ++i) {
    if (!env.dict.vars[i]->selected) continue;
    VarStats& s = o.stats[k++];
    s = o.gather_stats[i];
    if (o.gather_want[i] == kWantString) s.maximum *= o.bytes_per_char;
  }
}

// `complete`: the pass read every case. Only then can the transfer be held to its count:
// a pass over a sample of the first cases says nothing about the total.
void finish_pass(EnvRecord& env, bool complete) {
  TransferState& t = env.transfer;
  if (!t.optimize) return;
  OptimizeState& o = *t.optimize;
  if (o.gather) take_gathered(env, o);  // also after a pass ended early by DX_OptimizeClose
  const uint32_t mode = o.mode;
  const bool access = access_input(env);
  const int32_t min_width = env.options.text.na_write_set ? 2 : 1;
  const bool keep_num_widths = option_int(env, kOptPreserveNumWidths) != 0;
  const bool keep_str_widths = option_int(env, kOptPreserveStrWidths) != 0;
  size_t k = 0;
  for (auto& vp : env.dict.vars) {
    VarRecord& v = *vp;
    if (!v.selected) continue;
    const VarStats& s = o.stats[k++];
    if (o.shown_only && !date_may_change(env, v, mode)) continue;
    if (v.is_string()) {
      if (mode & kOptForce) continue;
      const uint32_t longest = static_cast<uint32_t>(s.maximum);
      if (keep_str_widths && v.print_width >= longest / o.bytes_per_char) {
        v.output_width = v.print_width * o.bytes_per_char;
      } else if (keep_str_widths) {
        v.output_width = longest;
        emit_messagef(env, MsgKind::Warning, "%s%s%s%s%d%s%g", "The Variable ", v.name.c_str(),
                      " is too wide in the output encoding to preserve its input width of ", "",
                      static_cast<int32_t>(v.print_width), ". Its width will be set to ",
                      static_cast<double>(longest) / o.bytes_per_char);
      } else {
        v.output_width = longest ? longest : 1;
      }
      continue;
    }
    if (skipped(v, mode)) continue;
    v.state_flags |= kVarOptimized;
    if (is_date_type(v.ttype) && (access || v.ttype == T_DATETIME)) {
      if (s.date_parts == 1) v.ttype = T_DATE;
      else if (s.date_parts == 2) v.ttype = T_TIME;
    }
    if (v.ttype < T_DATE) v.ttype = static_cast<uint16_t>(optimize_numeric_type(s));
    if (mode & kOptWidths) {
      const int32_t widest = s.widest > min_width ? s.widest : min_width;
      if (keep_num_widths) {
        if (widest > static_cast<int32_t>(v.print_width)) {
          emit_messagef(env, MsgKind::Warning, "%s%s%s%s%d%s%d", "The numeric variable ", v.name.c_str(),
                        " is wider than its original width as given in the input file ", "",
                        static_cast<int32_t>(v.print_width), ". Its width will be set to ", widest);
          v.output_width = static_cast<uint32_t>(widest);
        } else {
          v.output_width = v.print_width;
        }
      } else {
        v.output_width = static_cast<uint32_t>(widest);
      }
      v.writer_aux[0] = s.most_decimals;
      v.writer_aux[1] = s.most_int_digits;
    }
    if ((mode & kOptDropConstant) && o.cases > 1 && s.count > 0 && s.minimum == s.maximum) v.selected = 0;
  }

  if (o.user_missing_saved) option_store(env, kOptUserMissing, o.saved_user_missing, nullptr);
  t.optimize_case_count = complete ? static_cast<uint32_t>(t.cases_read) : 0;
  t.optimize_ran = 1;
  if (!(mode & kOptInMemory)) {
    transfer_restore_position(env);
    t.changes.entries = std::move(o.saved_changes);
  }
  t.input_kind = engine_user_dict(env) ? kInputUserDict : kInputFile;
  t.cases_moved = 0;
  t.cases_read = 0;
  where_begin_pass(env);
  t.optimize.reset();
}

}  // namespace

bool optimize_fits_float(double value, bool exact) {
  if (value != 0) {
    // The exponent frexp gives (value = m * 2^e, 0.5 <= |m| < 1), from the bits: below the
    // normal range it is far below -120; infinities and NaNs count as 0, as frexp leaves them.
    const uint64_t bits = std::bit_cast<uint64_t>(value);
    const int biased = static_cast<int>((bits >> 52) & 0x7ff);
    const int exponent = biased == 0x7ff ? 0 : biased == 0 ? -1022 : biased - 1022;
    if (exponent < -120 || exponent > 124) return false;
  }
  if (exact) return static_cast<double>(static_cast<float>(value)) == value;
  return true;
}

bool optimize_can_change_output(const EnvRecord& env, int32_t out_code) {
  if (optimize_changes_more_than_dates(env, out_code)) return true;
  // A date-time may still become a date or a time.
  for (const auto& vp : env.dict.vars)
    if (date_may_change(env, *vp, 0)) return true;
  return false;
}

int32_t optimize_numeric_type(const VarStats& s) {
  if (s.has_fraction) return !s.not_float && s.minimum >= -99999 && s.maximum <= 99999 ? T_FLOAT : T_DOUBLE;
  if (s.maximum <= 100 && s.minimum >= -127) return T_BYTE;
  if (s.minimum >= -32768 && s.maximum <= 32740) return T_INT;
  if (s.minimum >= -2147483647.0 && s.maximum <= 2147483620.0) return T_LONG;
  return T_DOUBLE;
}

}  // namespace tabulon

using namespace tabulon;

DX_EXPORT int32_t DX_OptimizeInit(int32_t handle, int32_t mode) {
  return call_frame(handle, -1, [&](EnvRecord& env) -> int32_t {
    return start_pass(env, env.transfer.output_code, static_cast<uint32_t>(mode));
  });
}

DX_EXPORT int32_t DX_OptimizeInitEx(int32_t handle, int32_t out_code, int32_t mode) {
  return call_frame(handle, -1, [&](EnvRecord& env) -> int32_t {
    env.transfer.output_code = out_code;
    return start_pass(env, out_code, static_cast<uint32_t>(mode));
  });
}

DX_EXPORT int32_t DX_MemOptimizeInit(int32_t handle, int32_t out_code, int32_t mode) {
  return call_frame(handle, -1, [&](EnvRecord& env) -> int32_t {
    if (!engine_has_dictionary(env)) return -1;
    env.transfer.output_code = out_code;
    uint32_t m = static_cast<uint32_t>(mode) | kOptExactFloat | kOptInMemory;
    switch (out_code) {
      case 6: case 8: case 32: case 39: case 40: case 41: case 46: case 47: case 53: case 55:
        m |= kOptWidths;
        break;
      default:
        break;
    }
    return start_pass(env, out_code, m);
  });
}

// 1 when a pass of this mode is worth running before writing out_code: it can change the
// output, or the reader's scan already holds its statistics so that it costs no read.
DX_EXPORT int32_t dxi_optimize_useful(int32_t handle, int32_t out_code, int32_t mode) {
  return call_frame(handle, -1, [&](EnvRecord& env) -> int32_t {
    if (!engine_has_dictionary(env)) return -1;
    if (optimize_can_change_output(env, out_code)) return 1;
    return scan_stats_serve(env, static_cast<uint32_t>(mode), nullptr) ? 1 : 0;
  });
}

DX_EXPORT int32_t DX_OptimizeRecord(int32_t handle) {
  return call_frame(handle, -1, [&](EnvRecord& env) -> int32_t {
    if (!env.transfer.optimize || !env.dict.has_record()) return -1;
    process_record(env);
    return 0;
  });
}

DX_EXPORT int32_t DX_OptimizeDo(int32_t handle, int32_t max_cases) {
  return call_frame(handle, -1, [&](EnvRecord& env) -> int32_t {
    TransferState& t = env.transfer;
    if (!t.optimize || (t.optimize->mode & kOptInMemory)) return -1;
    OptimizeState& o = *t.optimize;
    if (o.from_scan) {
      // Counted out in the host's chunks as a reading pass would.
      if (max_cases > 0 && o.scan_pending >= static_cast<uint32_t>(max_cases)) {
        o.scan_pending -= static_cast<uint32_t>(max_cases);
        return max_cases;
      }
      const int32_t done = static_cast<int32_t>(o.scan_pending);
      o.scan_pending = 0;
      finish_pass(env, false);
      return done;
    }
    if (o.gather) {
      const int32_t chunk = max_cases > 0 ? max_cases : INT32_MAX;
      const int32_t done = transfer_gather_stats(env, o.gather_want.data(), o.gather_stats.data(),
                                                 o.mode & kOptExactFloat, chunk);
      o.cases += static_cast<uint32_t>(done);
      if (done == chunk) return done;
      finish_pass(env, true);
      return done;
    }
    int32_t done = 0;
    for (;;) {
      if (max_cases > 0 && done >= max_cases) return done;
      int32_t r = transfer_read_next(env);
      if (r == kEndOfData) break;
      if (r < kEndOfData) return -1;
      process_record(env);
      ++done;
      // Nothing the output shows can change any more: the rest of the input is not read.
      if (o.shown_only && (done & 1023) == 1 && (max_cases <= 0 || done < max_cases) &&
          shown_dates_settled(env, o))
        break;
    }
    finish_pass(env, !o.shown_only);
    return done;
  });
}

DX_EXPORT int32_t DX_OptimizeClose(int32_t handle) {
  return call_frame(handle, -1, [&](EnvRecord& env) -> int32_t {
    if (!env.transfer.optimize) return -1;
    finish_pass(env, false);
    if (!env.transfer.input_open) dict_clear_record(env.dict);
    return 0;
  });
}
