#include "io/xml_lib.h"

#include <dlfcn.h>

#include <string>

#include "api/env_record.h"
#include "api/raise.h"

namespace tabulon {

XmlLib g_xml_lib;

namespace {

constexpr const char* kDefaultXmlLibrary = "libxml2.so.2";

const char* const kEntryNames[] = {
#define TABULON_XML_NAME(name) #name,
    TABULON_XML_ENTRIES(TABULON_XML_NAME)
#undef TABULON_XML_NAME
};
static_assert(sizeof(kEntryNames) / sizeof(kEntryNames[0]) == static_cast<size_t>(XmlEntry::Count));

std::string g_file_name;  // process-wide override; empty means the default

using MemGetFn = int (*)(void (**)(void*), void* (**)(size_t), void* (**)(void*, size_t), char* (**)(const char*));

}  // namespace

void xml_lib_set_file_name(const char* name) { g_file_name = name ? name : ""; }
const char* xml_lib_file_name() { return g_file_name.empty() ? kDefaultXmlLibrary : g_file_name.c_str(); }

const char* xml_lib_first_missing(void* handle) {
  for (const char* name : kEntryNames)
    if (!dlsym(handle, name)) return name;
  return nullptr;
}

int32_t XmlLibLoad(EnvRecord& env) {
  if (g_xml_lib.bound) return 0;
  const std::string file = !env.options.xml_library_name.empty() ? env.options.xml_library_name : xml_lib_file_name();
  void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) RaiseErrorF(env, "Cannot load xml library: %s", file.c_str());
  XmlLib table;
  for (int i = 0; i < static_cast<int>(XmlEntry::Count); ++i) {
    table.entry[i] = dlsym(handle, kEntryNames[i]);
    if (!table.entry[i]) {
      dlclose(handle);
      RaiseErrorF(env,
                  "The function %s was not found in %s library. Usually it happens when you have an older version "
                  "of library, you have to update it.",
                  kEntryNames[i], file.c_str());
    }
  }
  // Strings the library hands out are freed with its own free.
  auto mem_get = reinterpret_cast<MemGetFn>(table.entry[static_cast<int>(XmlEntry::xmlMemGet)]);
  mem_get(&table.free_fn, &table.malloc_fn, &table.realloc_fn, &table.strdup_fn);
  table.bound = true;
  if (env.io.xml_handle) dlclose(env.io.xml_handle);  // a stale handle of an earlier binding
  env.io.xml_handle = handle;
  g_xml_lib = table;
  return 0;
}

void xml_lib_release(EnvRecord& env) {
  if (!env.io.xml_handle) return;
  g_xml_lib = XmlLib{};
  dlclose(env.io.xml_handle);
  env.io.xml_handle = nullptr;
}

void xml_lib_on_close_files(EnvRecord& env) {
  if (env.release_xml) xml_lib_release(env);
}

}  // namespace tabulon
