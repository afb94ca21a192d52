// The conversion library's entry points, bound once per process.
#pragma once

#include <cstddef>
#include <string>

namespace tabulon {

struct IconvApi {
  void* (*open)(const char* to, const char* from) = nullptr;
  size_t (*conv)(void* cd, char** in, size_t* in_left, char** out, size_t* out_left) = nullptr;
  int (*close)(void* cd) = nullptr;
  const char* (*locale_charset)() = nullptr;
};

// The bound table (all null before the first environment opens).
const IconvApi& iconv_api();
// Binds the table once; false when an entry point is missing.
bool bind_iconv_api();

// The locale's character set as the environment sets it now (the bound entry point reads it
// once per process).
std::string locale_charset_now();

// Opens a descriptor. A "//TRANSLATE" suffix is passed on as glibc's "//TRANSLIT".
// Returns null on failure.
void* iconv_open_mapped(const char* to, const char* from);
void iconv_close_checked(void* cd);
inline bool descriptor_valid(void* cd) { return cd != nullptr && cd != reinterpret_cast<void*>(-1); }

}  // namespace tabulon
