// An SQLite extension the SQLite ODBC driver loads from this library (connection attribute
// LoadExt): the driver hands every value over as text, and SQLite writes a double with only
// 15 significant digits, which loses the last digits of most values and is the slowest part of
// a read. tabulon_f64(x) gives the 8 bytes of the double instead, which the driver passes on
// untouched as binary.
#include "sqlite_transport.h"

#include <dlfcn.h>

#if __has_include(<sqlite3ext.h>)
#include <sqlite3ext.h>
SQLITE_EXTENSION_INIT1

namespace {

void f64(sqlite3_context* c, int, sqlite3_value** v) {
  // Text that reads as a number counts as one, as it would in a REAL column.
  switch (sqlite3_value_numeric_type(v[0])) {
    case SQLITE_INTEGER:
    case SQLITE_FLOAT: {
      const double x = sqlite3_value_double(v[0]);
      sqlite3_result_blob(c, &x, sizeof x, SQLITE_TRANSIENT);
      return;
    }
    case SQLITE_NULL:
      sqlite3_result_null(c);
      return;
    default:
      // Text or bytes that are no number: an empty value, which the reader reports.
      sqlite3_result_blob(c, "", 0, SQLITE_STATIC);
  }
}

}  // namespace

// The entry point SQLite derives from the file name libDXODBC64.so.
extern "C" __attribute__((visibility("default"))) int sqlite3_dxodbc_init(sqlite3* db, char**,
                                                                         const sqlite3_api_routines* api) {
  SQLITE_EXTENSION_INIT2(api);
  return sqlite3_create_function(db, odbc::kSqliteDoubleFunction, 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, f64,
                                 nullptr, nullptr);
}

namespace odbc {
std::string sqlite_extension_path() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&sqlite3_dxodbc_init), &info) == 0 || !info.dli_fname) return {};
  return info.dli_fname;
}
}  // namespace odbc

#else

namespace odbc {
std::string sqlite_extension_path() { return {}; }
}  // namespace odbc

#endif
