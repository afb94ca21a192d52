// Doubles out of SQLite in binary form (see sqlite_transport.cpp).
#pragma once

#include <string>

namespace odbc {

inline constexpr const char* kSqliteDoubleFunction = "tabulon_f64";

// This library's file, for the SQLite ODBC driver's LoadExt attribute; empty when it was
// built without the SQLite headers.
std::string sqlite_extension_path();

}  // namespace odbc
