// A connection to an ODBC data source through the unixODBC driver manager: handles that free
// themselves, diagnostics as text (with any password blanked out), and the text encoding of
// the session.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <iconv.h>

#include <string>
#include <vector>

namespace odbc {

// Failure of an ODBC call; `what` is the diagnostic text for the host.
struct Failure {
  std::string what;
};

// Removes the value of every PWD=... or PASSWORD=... attribute of a connection string.
std::string without_password(const std::string& text);

// The connection string for a source named by DSN or given whole; parameters 0 and 1
// (user and password) are added when set and not already present.
std::string connection_string(const std::string& source, const char* user, const char* password);

struct Handle {
  SQLSMALLINT type = 0;
  SQLHANDLE h = SQL_NULL_HANDLE;
  Handle() = default;
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { reset(); }
  void reset() {
    if (h != SQL_NULL_HANDLE) SQLFreeHandle(type, h);
    h = SQL_NULL_HANDLE;
  }
};

// Diagnostic records of a handle joined into one line.
std::string diagnostics(SQLSMALLINT type, SQLHANDLE handle);

// Throws Failure with `context` and the diagnostics when rc is not a success.
void check(SQLRETURN rc, SQLSMALLINT type, SQLHANDLE handle, const char* context);

// Text between UTF-8 (the library's side) and the session's encoding.
class Recoder {
 public:
  Recoder() = default;
  ~Recoder();
  Recoder(const Recoder&) = delete;
  Recoder& operator=(const Recoder&) = delete;
  // An empty name or UTF-8 means no conversion.
  void open(const std::string& session_encoding);
  bool active() const { return to_session_ != reinterpret_cast<iconv_t>(-1); }
  // Converts; characters the target lacks become '?'.
  const std::string& to_session(const char* text, size_t size);
  const std::string& from_session(const char* text, size_t size);

 private:
  const std::string& run(iconv_t cd, const char* text, size_t size);
  iconv_t to_session_ = reinterpret_cast<iconv_t>(-1);
  iconv_t from_session_ = reinterpret_cast<iconv_t>(-1);
  std::string out_;
};

struct Connection {
  Handle env, dbc;
  std::string dbms;  // SQL_DBMS_NAME
  bool connected = false;
  ~Connection();
  void open(const std::string& connection);
  void close();
  // Names of the tables and views, in the order the source lists them.
  std::vector<std::string> tables();
  bool has_table(const std::string& name);
  // Runs one statement that returns no rows.
  void execute(const std::string& sql);
  std::string quote(const std::string& identifier) const;
};

}  // namespace odbc
