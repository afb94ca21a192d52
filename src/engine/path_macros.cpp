// File-name templates of options: %ipath% %iname% %iext% %opath% %oname% %oext%.
// Paths keep their forward slashes here: this system has no backslash separators,
// and turning '/' into '\' would make every expanded path unusable.
#include <unistd.h>

#include <cctype>
#include <string>
#include <string_view>

#include "api/env_record.h"
#include "engine/transfer.h"

namespace tabulon {

namespace {

struct PathParts {
  std::string dir, name, ext;
};

PathParts split(const std::string& path) {
  PathParts p;
  size_t slash = path.find_last_of('/');
  std::string file = slash == std::string::npos ? path : path.substr(slash + 1);
  if (slash != std::string::npos) p.dir = path.substr(0, slash);  // without its final separator
  if (slash == 0) p.dir = "/";
  if (p.dir.empty()) {
    char cwd[4096];
    p.dir = getcwd(cwd, sizeof cwd) ? cwd : ".";
  }
  size_t dot = file.find_last_of('.');
  if (dot == std::string::npos || dot == 0) {
    p.name = file;
  } else {
    p.name = file.substr(0, dot);
    p.ext = file.substr(dot + 1);
  }
  return p;
}

bool equal_nocase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

}  // namespace

std::string expand_path_macros(const EnvRecord& env, const char* text) {
  std::string out;
  if (!text) return out;
  const PathParts in = split(env.transfer.input_path);
  const PathParts op = split(env.transfer.output_path);
  std::string_view s(text);
  size_t i = 0;
  while (i < s.size()) {
    if (s[i] == '%') {
      size_t end = s.find('%', i + 1);
      if (end != std::string_view::npos) {
        std::string_view macro = s.substr(i + 1, end - i - 1);
        const std::string* value = nullptr;
        if (equal_nocase(macro, "ipath")) value = &in.dir;
        else if (equal_nocase(macro, "iname")) value = &in.name;
        else if (equal_nocase(macro, "iext")) value = &in.ext;
        else if (equal_nocase(macro, "opath")) value = &op.dir;
        else if (equal_nocase(macro, "oname")) value = &op.name;
        else if (equal_nocase(macro, "oext")) value = &op.ext;
        if (value) {
          out += *value;
          i = end + 1;
          continue;
        }
      }
    }
    out += s[i++];
  }
  // Doubled slashes collapse; a leading "//" (network path) stays.
  std::string clean;
  clean.reserve(out.size());
  for (size_t k = 0; k < out.size(); ++k) {
    if (out[k] == '/' && k > 1 && !clean.empty() && clean.back() == '/') continue;
    clean += out[k];
  }
  return clean;
}

}  // namespace tabulon
