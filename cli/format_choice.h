// Choosing a format code from a name, a code, a file extension or a file's content.
#pragma once

#include <string>
#include <vector>

namespace cli {

struct FormatInfo {
  int code = -1;
  std::string name;
  std::vector<std::string> extensions;  // with the point, lower case
  bool can_read = false;
  bool can_write = false;
  bool needs_driver = false;  // served by a database driver library
};

// Every format the library's registry lists, in code order.
const std::vector<FormatInfo>& all_formats();

// A format given by the user: a code ("18"), an extension ("csv", ".dta") or a name
// ("delimited text"), for reading or writing. -1 when nothing matches; `error` says why.
int format_from_user(const std::string& text, bool for_output, std::string& error);

// The format of a path: from the content where the format has a signature (inputs only),
// else from its extension. -1 when neither tells; `error` says why.
int format_from_path(const std::string& path, bool for_output, std::string& error);

const FormatInfo* format_by_code(int code);

// The format a file's first bytes show, or -1.
int sniff_format(const std::string& path);
// Why a path cannot serve as an input, in plain words ("is a directory", "is empty",
// "Permission denied"), or "" when it can be opened.
std::string input_problem(const std::string& path);
// "not a Stata file (looks like CSV)" when the format chosen for a file plainly does not
// match its content, else "".
std::string format_mismatch(const std::string& path, int code);
// "odbc:DSN=sales" or "odbc:Driver=SQLite3;Database=survey.db": a database source reached
// through the ODBC driver (format code 24); the connection is the text after the prefix.
constexpr int kOdbcCode = 24;
constexpr int kDbParmTable = 2;  // the driver's parameter naming the table to write
struct DatabaseSource {
  bool is_database = false;
  std::string connection;
  std::string display;  // the argument with any password blanked out, for messages
};
DatabaseSource database_source(const std::string& argument);

}  // namespace cli
