#include "format_choice.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <cerrno>
#include <sys/stat.h>

#include "tabulon/tabulon.h"

namespace cli {

namespace {

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::vector<std::string> split_extensions(const char* list) {
  std::vector<std::string> out;
  std::string cur;
  for (const char* p = list ? list : ""; ; ++p) {
    if (*p == ' ' || *p == ',' || *p == '\0') {
      if (!cur.empty()) out.push_back(lower(cur));
      cur.clear();
      if (!*p) break;
    } else {
      cur += *p;
    }
  }
  return out;
}

std::string extension_of(const std::string& path) {
  size_t slash = path.find_last_of('/');
  size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  return lower(path.substr(dot));
}

// Signatures of the binary formats we can recognise from the first bytes.
}  // namespace

int sniff_format(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return -1;
  unsigned char b[512] = {};
  size_t n = std::fread(b, 1, sizeof b, f);
  std::fclose(f);
  auto starts = [&](const char* sig, size_t at = 0) {
    size_t len = std::strlen(sig);
    return n >= at + len && std::memcmp(b + at, sig, len) == 0;
  };
  if (starts("<stata_dta>")) return 14;
  if (n >= 4 && b[0] >= 102 && b[0] <= 115 && (b[1] == 1 || b[1] == 2) && b[2] == 1) return 14;
  if (starts("$FL2") || starts("$FL3")) return 22;
  if (starts("HEADER RECORD*******LIBRARY HEADER RECORD!!!!!!!") ||
      starts("HEADER RECORD*******LIBV8   HEADER RECORD!!!!!!!"))
    return 12;
  static const unsigned char sas7bdat[32] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xc2, 0xea, 0x81, 0x60,
                                             0xb3, 0x14, 0x11, 0xcf, 0xbd, 0x92, 0x08, 0x00, 0x09, 0xc7,
                                             0x31, 0x8c, 0x18, 0x1f, 0x10, 0x11};
  if (n >= 32 && std::memcmp(b, sas7bdat, 32) == 0) return 38;
  static const unsigned char ole[8] = {0xd0, 0xcf, 0x11, 0xe0, 0xa1, 0xb1, 0x1a, 0xe1};
  if (n >= 8 && std::memcmp(b, ole, 8) == 0) return 48;
  if (starts("PK\x03\x04")) return 54;
  // Portable files: the signature follows 456 characters of header, shifted by the line breaks
  // of the 80-column lines.
  for (size_t at = 456; at + 8 <= n && at <= 470; ++at)
    if (std::memcmp(b + at, "SPSSPORT", 8) == 0) return 13;
  return -1;
}

static std::string looks_like(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return "";
  unsigned char b[512] = {};
  size_t n = std::fread(b, 1, sizeof b, f);
  std::fclose(f);
  if (n == 0) return "";
  size_t commas = 0, tabs = 0;
  for (size_t i = 0; i < n; ++i) {
    if (b[i] == 0 || (b[i] < 0x20 && b[i] != '\n' && b[i] != '\r' && b[i] != '\t')) return "";
    commas += b[i] == ',' || b[i] == ';';
    tabs += b[i] == '\t';
  }
  if (tabs) return "tab-separated text";
  if (commas) return "CSV";
  return "text";
}

std::string input_problem(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return std::strerror(errno);
  if (S_ISDIR(st.st_mode)) return "is a directory";
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return std::strerror(errno);
  std::fclose(f);
  if (S_ISREG(st.st_mode) && st.st_size == 0) return "is empty";
  return "";
}

std::string format_mismatch(const std::string& path, int code) {
  static const struct {
    int code;
    const char* family;
  } kBinary[] = {{14, "Stata"}, {22, "SPSS"}, {38, "SAS"}, {12, "SAS transport"}, {13, "SPSS portable"},
                 {48, "Excel"}};
  for (const auto& b : kBinary) {
    if (b.code != code) continue;
    if (sniff_format(path) >= 0) return "";
    std::string like = looks_like(path);
    // A portable file is text too; it is known by its signature, so any text is a mismatch.
    if (!like.empty()) return std::string("not a ") + b.family + " file (looks like " + like + ")";
  }
  return "";
}

const std::vector<FormatInfo>& all_formats() {
  static const std::vector<FormatInfo> formats = [] {
    std::vector<FormatInfo> v;
    for (int32_t i = 0;; ++i) {
      const char* name = nullptr;
      const char* exts = nullptr;
      int32_t can_read = 0, can_write = 0;
      int32_t code = dxi_format_info(i, &name, &exts, &can_read, &can_write);
      if (code < 0) break;
      FormatInfo f;
      f.code = code;
      f.name = name ? name : "";
      f.extensions = split_extensions(exts);
      f.can_read = can_read != 0;
      f.can_write = can_write != 0;
      f.needs_driver = can_read == 2 || can_write == 2;
      v.push_back(std::move(f));
    }
    return v;
  }();
  return formats;
}

const FormatInfo* format_by_code(int code) {
  for (const FormatInfo& f : all_formats())
    if (f.code == code) return &f;
  return nullptr;
}

int format_from_user(const std::string& text, bool for_output, std::string& error) {
  const char* side = for_output ? "writing" : "reading";
  auto usable = [&](const FormatInfo& f) { return for_output ? f.can_write : f.can_read; };
  if (!text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
    int code = std::atoi(text.c_str());
    const FormatInfo* f = format_by_code(code);
    if (!f) {
      error = "unknown format code " + text;
      return -1;
    }
    if (!usable(*f)) {
      error = "format " + text + " (" + f->name + ") is not available for " + side + " in this build";
      return -1;
    }
    return code;
  }
  std::string want = lower(text);
  // Names people use for the formats, beside the registry's names and extensions.
  static const char* const kNames[][2] = {
      {"stata", ".dta"},      {"spss", ".sav"},     {"sav", ".sav"},   {"por", ".por"},
      {"portable", ".por"},   {"sas", ".sas7bdat"}, {"xpt", ".xpt"},   {"xport", ".xpt"},
      {"transport", ".xpt"},  {"excel", ".xls"},    {"xls", ".xls"},   {"xlsx", ".xlsx"},
      {"csv", ".csv"},        {"tsv", ".tsv"},      {"text", ".csv"},  {"delimited", ".csv"},
      {"fixed", ".dat"},      {"schema", ".sch"},   {"html", ".html"}, {"dta", ".dta"}};
  for (const auto& n : kNames)
    if (want == n[0]) want = n[1];
  std::string ext = want.empty() || want[0] == '.' ? want : "." + want;
  const FormatInfo* found_unusable = nullptr;
  for (const FormatInfo& f : all_formats()) {
    bool match = lower(f.name) == want ||
                 std::find(f.extensions.begin(), f.extensions.end(), ext) != f.extensions.end();
    if (!match) continue;
    if (usable(f)) return f.code;
    if (!found_unusable) found_unusable = &f;
  }
  if (found_unusable)
    error = "format '" + text + "' (" + found_unusable->name + ") is not available for " + side + " in this build";
  else
    error = "unknown format '" + text + "' (see 'tabulon formats')";
  return -1;
}

int format_from_path(const std::string& path, bool for_output, std::string& error) {
  if (!for_output) {
    int code = sniff_format(path);
    if (code >= 0) {
      const FormatInfo* f = format_by_code(code);
      if (f && f->can_read) return code;
      error = "'" + path + "' looks like " + (f ? f->name : std::string("an unknown format")) +
              ", which this build cannot read";
      return -1;
    }
  }
  std::string ext = extension_of(path);
  if (ext.empty()) {
    error = "cannot tell the format of '" + path + "' from its name; give it with " + (for_output ? "-o" : "-i");
    return -1;
  }
  int code = format_from_user(ext, for_output, error);
  if (code < 0 && error.rfind("unknown format", 0) == 0)
    error = "unknown extension '" + ext + "' of '" + path + "'; give the format with " + (for_output ? "-o" : "-i");
  return code;
}

DatabaseSource database_source(const std::string& argument) {
  if (argument.size() <= 5 || strncasecmp(argument.c_str(), "odbc:", 5) != 0) return {};
  // PWD=... and PASSWORD=... never reach a message.
  std::string shown = argument;
  for (const char* key : {"pwd=", "password="}) {
    const size_t n = std::strlen(key);
    for (size_t at = 0; at + n <= shown.size(); ++at) {
      if (strncasecmp(shown.c_str() + at, key, n) != 0 || (at > 0 && std::isalnum(static_cast<unsigned char>(shown[at - 1]))))
        continue;
      size_t end = at + n;
      if (end < shown.size() && shown[end] == '{') {
        end = shown.find('}', end);
        end = end == std::string::npos ? shown.size() : end + 1;
      } else {
        end = shown.find(';', end);
        if (end == std::string::npos) end = shown.size();
      }
      shown.replace(at + n, end - at - n, "***");
    }
  }
  return {true, argument.substr(5), shown};
}

}  // namespace cli
