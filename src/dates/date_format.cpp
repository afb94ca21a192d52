// Formatting day numbers with a compiled pattern.
#include <charconv>
#include <cmath>
#include <cstring>

#include "dates/date_pattern.h"

namespace tabulon {

namespace {

constexpr double kDaysPer400Years = 146097;
// Dates are written up to the year 999999.
constexpr double kWideDayLimit = 365242500.0 - kDayNumberOffset;

}  // namespace

const char* default_format_pattern(int32_t kind) {
  switch (kind) {
    case kDateKindTime: return "%0H:%0M:%0S";
    case kDateKindDateTime: return "%0m/%0d/%Y %0H:%0M:%0S";
    default: return "%x";
  }
}

void compile_format_pattern(std::string_view pattern, FormatPattern* out, bool time_kind) {
  out->text.assign(pattern.data(), pattern.size());
  out->ops.clear();
  out->duration = false;
  bool time_directive = false, date_directive = false;
  const size_t n = pattern.size();
  size_t i = 0;
  while (i < n) {
    if (pattern[i] != '%') {
      size_t start = i;
      while (i < n && pattern[i] != '%') ++i;
      FormatOp op;
      op.offset = static_cast<uint32_t>(start);
      op.length = static_cast<uint32_t>(i - start);
      out->ops.push_back(op);
      continue;
    }
    ++i;
    FormatOp op;
    if (i < n && pattern[i] == '0') {
      op.zero = 1;
      ++i;
      if (i < n && pattern[i] >= '0' && pattern[i] <= '9') op.digits = static_cast<uint8_t>(pattern[i++] - '0');
    }
    if (i >= n) break;  // a lone "%" at the end writes nothing
    op.letter = pattern[i++];
    if (op.letter == '%') {  // literal percent sign
      op.letter = 0;
      op.offset = static_cast<uint32_t>(i - 1);
      op.length = 1;
    }
    switch (op.letter) {
      case 0: break;
      case 'H': case 'M': case 'S': case 'N': case 'I': case 'h': case 'p': time_directive = true; break;
      case '3': case 'A': case 'a': case 'B': case 'b': case 'U': case 'W': case 'Y': case 'y': case 'd':
      case 'j': case 'm': case 'n': case 'w': case 'x': date_directive = true; break;
      default: break;
    }
    out->ops.push_back(op);
  }
  out->duration = time_kind && time_directive && !date_directive;
}

namespace {

// Bounded writer: keeps room for the terminator.
struct Sink {
  char* out;
  size_t room;  // characters that may still be written
  size_t len = 0;

  void put(char c) {
    if (len < room) out[len++] = c;
  }
  void put(const char* s, size_t n) {
    if (n > room - len) n = room - len;
    std::memcpy(out + len, s, n);
    len += n;
  }
  void put(const std::string& s) { put(s.data(), s.size()); }
  // Decimal number, zero-padded to at least `width` digits.
  void number(int64_t value, int width) {
    char digits[24];
    int k = 0;
    bool negative = value < 0;
    uint64_t v = negative ? static_cast<uint64_t>(-value) : static_cast<uint64_t>(value);
    do {
      digits[k++] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v);
    while (k < width) digits[k++] = '0';
    if (negative) put('-');
    while (k) put(digits[--k]);
  }
};

}  // namespace

ptrdiff_t format_date_parts(const FormatPattern& pattern, const DateNames& names, const DateParts& p, double day,
                            char* out, size_t cap) {
  if (p.month < 0 || p.month > 11 || p.wday < 0 || p.wday > 6) {  // not parts of a real date
    if (cap) out[0] = '\0';
    return -1;
  }
  if (cap == 0) return 0;
  Sink sink{out, cap - 1};
  const char* text = pattern.text.data();
  for (const FormatOp& op : pattern.ops) {
    if (op.letter == 0) {
      sink.put(text + op.offset, op.length);
      continue;
    }
    const int w = op.zero ? 2 : 1;
    switch (op.letter) {
      case '3': sink.put(kEnglishMonthShort[p.month], 3); break;
      case 'A': sink.put(names.day_long[p.wday]); break;
      case 'a': sink.put(names.day_short[p.wday]); break;
      case 'B': sink.put(names.month_long[p.month]); break;
      case 'b': sink.put(names.month_short[p.month]); break;
      case 'H': sink.number(p.hour, w); break;
      case 'I':
      case 'h': sink.number(p.hour % 12 == 0 ? 12 : p.hour % 12, w); break;
      case 'M': sink.number(p.minute, w); break;
      case 'S': sink.number(p.second, w); break;
      case 'N': {
        int n = op.digits >= 1 && op.digits <= 3 ? op.digits : 3;
        int value = n == 3 ? p.millisecond : n == 2 ? p.millisecond / 10 : p.millisecond / 100;
        sink.number(value, n);
        break;
      }
      case 'U':
      case 'W': {
        // Weeks start on Monday for %U, on Sunday for %W; days before the first such
        // day of the year are week 00.
        int s = op.letter == 'U' ? 1 : 0;
        int d = (p.wday + 7 - s) % 7;
        sink.number((p.yday + 7 - d) / 7, 2);
        break;
      }
      case 'Y': sink.number(p.year, 4); break;
      case 'y': sink.number(p.year % 100, 2); break;
      case 'd': sink.number(p.mday, w); break;
      case 'j': sink.number(p.yday + 1, 3); break;
      case 'm': sink.number(p.month + 1, w); break;
      case 'n': {
        char buf[64];
        auto r = std::to_chars(buf, buf + sizeof buf, day, std::chars_format::fixed, 6);
        if (r.ec == std::errc()) sink.put(buf, static_cast<size_t>(r.ptr - buf));
        break;
      }
      case 'p': sink.put(names.ampm[p.hour >= 12 ? 1 : 0]); break;
      case 'w': sink.number(p.wday, 1); break;
      case 'x':
        sink.number(p.month + 1, 2);
        sink.put('/');
        sink.number(p.mday, 2);
        sink.put('/');
        sink.number(p.year, 4);
        break;
      default: break;  // unknown directives write nothing
    }
  }
  out[sink.len] = '\0';
  return static_cast<ptrdiff_t>(sink.len);
}

namespace {

ptrdiff_t format_duration(const FormatPattern& pattern, const DateNames& names, double time, char* out, size_t cap) {
  DurationParts d;
  if (!time_to_duration(time, &d)) {
    if (cap) out[0] = '\0';
    return -1;
  }
  if (cap == 0) return 0;
  Sink sink{out, cap - 1};
  if (d.negative) sink.put('-');
  const char* text = pattern.text.data();
  const int64_t clock_hour = d.hours % 24;
  for (const FormatOp& op : pattern.ops) {
    if (op.letter == 0) {
      sink.put(text + op.offset, op.length);
      continue;
    }
    const int w = op.zero ? 2 : 1;
    switch (op.letter) {
      case 'H': sink.number(d.hours, w); break;
      case 'I':
      case 'h': sink.number(clock_hour % 12 == 0 ? 12 : clock_hour % 12, w); break;
      case 'M': sink.number(d.minute, w); break;
      case 'S': sink.number(d.second, w); break;
      case 'N': {
        int n = op.digits >= 1 && op.digits <= 3 ? op.digits : 3;
        int value = n == 3 ? d.millisecond : n == 2 ? d.millisecond / 10 : d.millisecond / 100;
        sink.number(value, n);
        break;
      }
      case 'p': sink.put(names.ampm[clock_hour >= 12 ? 1 : 0]); break;
      default: break;
    }
  }
  out[sink.len] = '\0';
  return static_cast<ptrdiff_t>(sink.len);
}

}  // namespace

ptrdiff_t format_day_number(const FormatPattern& pattern, const DateNames& names, double day, char* out,
                            size_t cap) {
  if (pattern.duration && day != kNowDayNumber) return format_duration(pattern, names, day, out, cap);
  DateParts parts;
  bool ok = true;
  if (day == kNowDayNumber) {
    current_parts(&parts);
    ok = parts_to_day(parts, &day);
  } else {
    ok = day_to_parts(day, &parts);
    if (!ok && day > 0 && day < kWideDayLimit) {
      // Beyond 31 December 9999: the calendar (weekdays too) repeats every 400 years, so
      // the parts are those of a day whole eras earlier, with the year moved back.
      const double eras = std::ceil((std::trunc(day) + kDayNumberOffset - kMaxOrdinal) / kDaysPer400Years);
      ok = day_to_parts(day - eras * kDaysPer400Years, &parts);
      if (ok) parts.year += static_cast<int32_t>(eras) * 400;
    }
  }
  if (!ok) {
    if (cap) out[0] = '\0';
    return -1;
  }
  return format_date_parts(pattern, names, parts, day, out, cap);
}

ptrdiff_t format_day_text(const char* pattern, int32_t kind, const DateNames& names, double day, char* out,
                          size_t cap) {
  if (!pattern || !*pattern) pattern = default_format_pattern(kind);
  FormatPattern compiled;
  compile_format_pattern(pattern, &compiled);  // a day number: a time pattern writes the time of day
  return format_day_number(compiled, names, day, out, cap);
}

}  // namespace tabulon
