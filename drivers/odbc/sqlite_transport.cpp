// An SQLite extension the SQLite ODBC driver loads from this library (connection attribute
// LoadExt): the driver hands every value over as text, and SQLite writes a double with only
// 15 significant digits, which loses the last digits of most values and is the slowest part of
// a read. tabulon_pack(x, y, ...) gives the 64 bits of each double instead, 6 bits to a
// printable character, all the numbers of a row in one value.
#include "sqlite_transport.h"

#include <dlfcn.h>

#if __has_include(<sqlite3ext.h>)
#include <sqlite3ext.h>
SQLITE_EXTENSION_INIT1

namespace {

// Several doubles of a row as one text value: the driver's cost is mostly per value.
void pack(sqlite3_context* c, int n, sqlite3_value** v) {
  char out[odbc::kPackedChars * odbc::kMaxPacked];
  if (n > static_cast<int>(odbc::kMaxPacked)) {
    sqlite3_result_error(c, "too many values to pack", -1);
    return;
  }
  char* p = out;
  for (int k = 0; k < n; ++k) {
    // Text that reads as a number counts as one, as it would in a REAL column.
    switch (sqlite3_value_numeric_type(v[k])) {
      case SQLITE_INTEGER:
      case SQLITE_FLOAT:
        p = odbc::pack_double(sqlite3_value_double(v[k]), p);
        break;
      case SQLITE_NULL:
        *p++ = odbc::kPackedNull;
        break;
      default:
        *p++ = odbc::kPackedNotNumber;
    }
  }
  sqlite3_result_text(c, out, static_cast<int>(p - out), SQLITE_TRANSIENT);
}

}  // namespace

// The entry point SQLite derives from the file name libDXODBC64.so.
extern "C" __attribute__((visibility("default"))) int sqlite3_dxodbc_init(sqlite3* db, char**,
                                                                         const sqlite3_api_routines* api) {
  SQLITE_EXTENSION_INIT2(api);
  return sqlite3_create_function(db, odbc::kSqlitePackFunction, -1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, pack,
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
