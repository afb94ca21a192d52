// Small helpers shared by the transfer engine's files.
#pragma once

#include <cstdint>
#include <string>

#include "api/env_record.h"
#include "dict/dictionary.h"

namespace tabulon {

// A dictionary was read from an input or built by the host.
inline bool engine_has_dictionary(const EnvRecord& env) {
  return env.transfer.dict_read || env.dict.user_dict || env.transfer.input_kind == kInputUserDict;
}

inline bool engine_user_dict(const EnvRecord& env) {
  return env.dict.user_dict || env.transfer.input_kind == kInputUserDict;
}

inline int32_t engine_selected_count(const DictState& d) {
  int32_t n = 0;
  for (const auto& v : d.vars)
    if (v->selected) ++n;
  return n;
}

// The file-name part of a path.
inline const char* engine_file_name(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return path.c_str() + (slash == std::string::npos ? 0 : slash + 1);
}

bool engine_file_exists(const std::string& path);
// Deletes a half-written output. Only regular files go: a device, pipe or directory named as
// the output (/dev/null, a FIFO) is left alone. True when a file was removed.
bool engine_remove_output(const std::string& path);

// Reads numbered options 65 and 66 into the case window.
void engine_load_case_window(EnvRecord& env);

}  // namespace tabulon
