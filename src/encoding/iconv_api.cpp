#include "encoding/iconv_api.h"

#include <dlfcn.h>
#include <langinfo.h>
#include <locale.h>
#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace tabulon {

namespace {

IconvApi g_api;
bool g_bound = false;
std::string g_charset;

const char* read_locale_charset();

// Character set of the user's locale as the environment sets it, read without relying on the
// host having called setlocale. The C/POSIX locale reports 7-bit ASCII; Linux tools treat that
// as UTF-8, and so do we.
const char* read_locale_charset() {
  if (g_charset.empty()) g_charset = locale_charset_now();
  return g_charset.c_str();
}

}  // namespace

std::string locale_charset_now() {
  std::string cs;
  locale_t loc = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0));
  if (loc) {
    const char* name = nl_langinfo_l(CODESET, loc);
    if (name) cs = name;
    freelocale(loc);
  } else {
    // The named locale is not installed: take the code set from the variable itself.
    const char* vars[] = {"LC_ALL", "LC_CTYPE", "LANG"};
    for (const char* v : vars) {
      const char* val = getenv(v);
      if (!val || !*val) continue;
      const char* dot = strchr(val, '.');
      if (dot) {
        const char* end = strchr(dot + 1, '@');
        cs.assign(dot + 1, end ? static_cast<size_t>(end - dot - 1) : strlen(dot + 1));
      }
      break;
    }
  }
  if (cs.empty() || strcasecmp(cs.c_str(), "ANSI_X3.4-1968") == 0 || strcasecmp(cs.c_str(), "ASCII") == 0 ||
      strcasecmp(cs.c_str(), "US-ASCII") == 0)
    cs = "UTF-8";
  else if (strcasecmp(cs.c_str(), "utf8") == 0)
    cs = "UTF-8";
  return cs;
}

const IconvApi& iconv_api() { return g_api; }

bool bind_iconv_api() {
  if (g_bound) return true;
  IconvApi api;
  api.open = reinterpret_cast<void* (*)(const char*, const char*)>(dlsym(RTLD_DEFAULT, "iconv_open"));
  api.conv = reinterpret_cast<size_t (*)(void*, char**, size_t*, char**, size_t*)>(dlsym(RTLD_DEFAULT, "iconv"));
  api.close = reinterpret_cast<int (*)(void*)>(dlsym(RTLD_DEFAULT, "iconv_close"));
  api.locale_charset = read_locale_charset;
  if (!api.open || !api.conv || !api.close) return false;
  g_api = api;
  g_bound = true;
  return true;
}

void* iconv_open_mapped(const char* to, const char* from) {
  if (!g_bound && !bind_iconv_api()) return nullptr;
  std::string target = to ? to : "";
  size_t at = target.find("//");
  if (at != std::string::npos && strcasecmp(target.c_str() + at, "//TRANSLATE") == 0)
    target.replace(at, std::string::npos, "//TRANSLIT");
  void* cd = g_api.open(target.c_str(), from ? from : "");
  return descriptor_valid(cd) ? cd : nullptr;
}

void iconv_close_checked(void* cd) {
  if (descriptor_valid(cd) && g_api.close) g_api.close(cd);
}

}  // namespace tabulon
