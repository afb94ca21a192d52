#include "formats/text/field_split.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tabulon {

namespace {

// Blanks are skipped before a field and after a delimiter; tabs too unless they delimit.
inline size_t skip_blanks(const char* line, size_t len, size_t pos, char delim) {
  while (pos < len && (line[pos] == ' ' || (line[pos] == '\t' && delim != '\t'))) ++pos;
  return pos;
}

inline size_t after_delimiter(const char* line, size_t len, size_t pos, char delim) {
  const void* d = pos < len ? std::memchr(line + pos, delim, len - pos) : nullptr;
  if (!d) return len;
  return skip_blanks(line, len, static_cast<size_t>(static_cast<const char*>(d) - line) + 1, delim);
}

}  // namespace

bool split_field(char* line, size_t len, size_t pos, char delim, char quote, FieldSpan* field, size_t* next) {
  pos = skip_blanks(line, len, pos, delim);
  if (pos >= len) return false;
  field->quoted = false;
  if (line[pos] == delim) {
    field->text = line + pos;
    field->len = 0;
    *next = skip_blanks(line, len, pos + 1, delim);
    return true;
  }
  if (quote != 0 && line[pos] == quote) {
    field->quoted = true;
    const size_t begin = pos + 1;
    size_t i = begin;
    size_t end = len;        // end of the quoted text
    size_t resume = len;     // where the search for the next delimiter starts
    bool doubled = false;
    while (i < len) {
      if (line[i] != quote) {
        ++i;
        continue;
      }
      if (i + 1 < len && line[i + 1] == quote) {
        doubled = true;
        i += 2;
        continue;
      }
      // A lone quote closes the field only before (blanks and) a delimiter or the end.
      size_t j = i + 1;
      if (delim != ' ')
        while (j < len && line[j] == ' ') ++j;
      if (j >= len || line[j] == delim) {
        end = i;
        resume = j;
        break;
      }
      ++i;
    }
    size_t b = begin, e = end;
    while (b < e && line[b] == ' ') ++b;
    while (e > b && line[e - 1] == ' ') --e;
    if (doubled) {
      size_t w = b;
      for (size_t r = b; r < e; ++r) {
        line[w++] = line[r];
        if (line[r] == quote && r + 1 < e && line[r + 1] == quote) ++r;
      }
      e = w;
    }
    field->text = line + b;
    field->len = e - b;
    *next = resume >= len ? len : skip_blanks(line, len, resume + 1, delim);
    return true;
  }
  const void* d = std::memchr(line + pos, delim, len - pos);
  size_t e = d ? static_cast<size_t>(static_cast<const char*>(d) - line) : len;
  field->text = line + pos;
  size_t fe = e;
  while (fe > pos && (line[fe - 1] == ' ' || (line[fe - 1] == '\t' && delim != '\t'))) --fe;
  field->len = fe - pos;
  *next = d ? skip_blanks(line, len, e + 1, delim) : len;
  return true;
}

namespace {

struct Masks {
  uint32_t delim = 0, blank = 0, quote = 0;
};

// Bit i set where byte i of the n (at most 16) bytes at p is the delimiter, a blank or tab, or the quote.
inline Masks masks_of(const char* p, size_t n, char delim, char quote) {
  Masks m;
  for (size_t i = 0; i < n; ++i) {
    m.delim |= static_cast<uint32_t>(p[i] == delim) << i;
    m.blank |= static_cast<uint32_t>(p[i] == ' ' || p[i] == '\t') << i;
    m.quote |= static_cast<uint32_t>(quote != 0 && p[i] == quote) << i;
  }
  return m;
}

#if defined(__SSE2__)
inline Masks masks_of16(const char* p, char delim, char quote) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  Masks m;
  m.delim = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(delim))));
  m.blank = static_cast<uint32_t>(_mm_movemask_epi8(
      _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(' ')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\t')))));
  if (quote) m.quote = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(quote))));
  return m;
}
#else
inline Masks masks_of16(const char* p, char delim, char quote) { return masks_of(p, 16, delim, quote); }
#endif

}  // namespace

bool split_plain_line(const char* line, size_t len, char delim, char quote, size_t max_fields, FieldCuts& cuts) {
  cuts.n = 0;
  if (delim == ' ' || delim == '\t' || delim == 0 || len > UINT32_MAX - 64) return false;
  if (len == 0) return true;
  if (line[0] == ' ' || line[0] == '\t' || line[len - 1] == ' ' || line[len - 1] == '\t') return false;
  uint32_t carry_blank = 0, carry_delim = 0, bad = 0;
  for (size_t at = 0; at < len; at += 16) {
    const size_t n = len - at < 16 ? len - at : 16;
    Masks m;
    if (n == 16)
      m = masks_of16(line + at, delim, quote);
    else if (len >= 16) {
      // The last bytes: the 16 that end the line, less those already seen.
      m = masks_of16(line + len - 16, delim, quote);
      m.delim >>= 16 - n;
      m.blank >>= 16 - n;
      m.quote >>= 16 - n;
    } else {
      m = masks_of(line + at, n, delim, quote);
    }
    // A blank just before or just after a delimiter, or a quote anywhere.
    bad |= m.quote | (m.delim & ((m.blank << 1) | carry_blank)) | (m.blank & ((m.delim << 1) | carry_delim));
    carry_blank = (m.blank >> (n - 1)) & 1;
    carry_delim = (m.delim >> (n - 1)) & 1;
    if (cuts.at.size() < cuts.n + 17) cuts.at.resize(2 * (cuts.n + 17));
    uint32_t* out = cuts.at.data();
    size_t k = cuts.n;
    for (uint32_t d = m.delim; d && k < max_fields; d &= d - 1) out[k++] = static_cast<uint32_t>(at + static_cast<size_t>(__builtin_ctz(d)));
    cuts.n = k;
  }
  if (bad) return false;
  // The last field runs to the end of the line, unless the line ends with the delimiter.
  if (cuts.n < max_fields && (cuts.n == 0 || cuts.at[cuts.n - 1] != len - 1)) {
    if (cuts.at.size() < cuts.n + 1) cuts.at.resize(cuts.n + 1);
    cuts.at[cuts.n++] = static_cast<uint32_t>(len);
  }
  return true;
}

size_t combine_delimiters(char* line, size_t len, int mode, char* delim) {
  if (mode <= 0) return len;
  if (mode == 2) {
    *delim = ' ';
    for (size_t i = 0; i < len; ++i)
      if (line[i] == '\t') line[i] = ' ';
  }
  const char d = *delim;
  size_t w = 0;
  for (size_t r = 0; r < len; ++r) {
    if (line[r] == d && w > 0 && line[w - 1] == d) continue;
    line[w++] = line[r];
  }
  if (w < len) std::memset(line + w, 0, len - w);
  return w;
}

}  // namespace tabulon
