#include "io/io_state.h"

#include "api/env_record.h"
#include "api/option_slots.h"
#include "io/copy_command.h"
#include "io/xml_lib.h"

namespace tabulon {

namespace {

int32_t copy_option(EnvRecord& env, int32_t, const char* text) { return stream_copy_command(env, text); }

int32_t xml_name_option(EnvRecord&, int32_t, const char* text) {
  xml_lib_set_file_name(text);
  return 0;
}

}  // namespace

bool io_env_open(EnvRecord& env, int32_t) {
  static const bool registered = [] {
    register_option_handler(kOptCompoundCopy, copy_option);
    register_option_handler(kOptXmlLibraryName, xml_name_option);
    return true;
  }();
  (void)registered;
  return mfs_init(&env.io.store, 4096, 32, false) == 0;
}

// The XML binding is process-wide and may serve other environments: it is released
// when the files are closed with the release flag, not here.
void io_env_close(EnvRecord& env) { mfs_shutdown(&env.io.store); }

}  // namespace tabulon
