#include "odbc_connection.h"

#include <cctype>
#include <cstring>

namespace odbc {

namespace {

bool starts_with_nocase(const std::string& s, size_t at, const char* word) {
  for (size_t k = 0; word[k]; ++k)
    if (at + k >= s.size() || std::toupper(static_cast<unsigned char>(s[at + k])) != word[k]) return false;
  return true;
}

bool has_attribute(const std::string& conn, const char* name) {
  for (size_t at = 0; at < conn.size();) {
    while (at < conn.size() && (conn[at] == ' ' || conn[at] == ';')) ++at;
    if (starts_with_nocase(conn, at, name) && at + std::strlen(name) < conn.size() &&
        conn[at + std::strlen(name)] == '=')
      return true;
    at = conn.find(';', at);
    if (at == std::string::npos) break;
  }
  return false;
}

}  // namespace

std::string without_password(const std::string& text) {
  std::string out = text;
  for (const char* key : {"PWD=", "PASSWORD="}) {
    for (size_t at = 0; at < out.size(); ++at) {
      if (!starts_with_nocase(out, at, key)) continue;
      if (at > 0 && std::isalnum(static_cast<unsigned char>(out[at - 1]))) continue;
      const size_t value = at + std::strlen(key);
      size_t end = value;
      if (end < out.size() && out[end] == '{') {
        end = out.find('}', end);
        end = end == std::string::npos ? out.size() : end + 1;
      } else {
        while (end < out.size() && out[end] != ';' && out[end] != ' ') ++end;
      }
      out.replace(value, end - value, "***");
      at = value + 3;
    }
  }
  return out;
}

std::string connection_string(const std::string& source, const char* user, const char* password) {
  std::string conn = source.find('=') == std::string::npos ? "DSN=" + source + ";" : source;
  if (!conn.empty() && conn.back() != ';') conn += ';';
  if (user && *user && !has_attribute(conn, "UID")) conn += "UID=" + std::string(user) + ";";
  if (password && *password && !has_attribute(conn, "PWD")) conn += "PWD={" + std::string(password) + "};";
  // The SQLite driver otherwise holds a whole result in memory before the first row.
  std::string upper;
  for (char c : conn) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (upper.find("SQLITE") != std::string::npos && !has_attribute(conn, "STEPAPI")) conn += "StepAPI=1;";
  return conn;
}

std::string diagnostics(SQLSMALLINT type, SQLHANDLE handle) {
  std::string all;
  if (handle == SQL_NULL_HANDLE) return all;
  for (SQLSMALLINT rec = 1; rec <= 4; ++rec) {
    SQLCHAR state[6] = {}, text[1024] = {};
    SQLINTEGER native = 0;
    SQLSMALLINT len = 0;
    if (!SQL_SUCCEEDED(SQLGetDiagRec(type, handle, rec, state, &native, text, sizeof text, &len))) break;
    if (!all.empty()) all += " ";
    all += reinterpret_cast<char*>(text);
    all += " (SQLSTATE ";
    all += reinterpret_cast<char*>(state);
    all += ")";
  }
  return without_password(all);
}

void check(SQLRETURN rc, SQLSMALLINT type, SQLHANDLE handle, const char* context) {
  if (SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA) return;
  std::string d = diagnostics(type, handle);
  throw Failure{std::string(context) + (d.empty() ? "" : ": " + d)};
}

Recoder::~Recoder() {
  if (active()) {
    iconv_close(to_session_);
    iconv_close(from_session_);
  }
}

void Recoder::open(const std::string& name) {
  if (name.empty()) return;
  std::string upper;
  for (char c : name) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (upper == "UTF-8" || upper == "UTF8") return;
  to_session_ = iconv_open(name.c_str(), "UTF-8");
  from_session_ = iconv_open("UTF-8", name.c_str());
  if (to_session_ == reinterpret_cast<iconv_t>(-1) || from_session_ == reinterpret_cast<iconv_t>(-1)) {
    if (to_session_ != reinterpret_cast<iconv_t>(-1)) iconv_close(to_session_);
    if (from_session_ != reinterpret_cast<iconv_t>(-1)) iconv_close(from_session_);
    to_session_ = from_session_ = reinterpret_cast<iconv_t>(-1);
    throw Failure{"The session encoding " + name + " is not known"};
  }
}

const std::string& Recoder::run(iconv_t cd, const char* text, size_t size) {
  out_.assign(size * 4 + 16, '\0');
  char* in = const_cast<char*>(text);
  size_t in_left = size;
  char* out = out_.data();
  size_t out_left = out_.size();
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  while (in_left > 0) {
    if (iconv(cd, &in, &in_left, &out, &out_left) != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) break;
    // A character the other side lacks, or a broken sequence: one '?' for it.
    ++in;
    --in_left;
    if (out_left > 0) {
      *out++ = '?';
      --out_left;
    }
  }
  out_.resize(out_.size() - out_left);
  return out_;
}

const std::string& Recoder::to_session(const char* text, size_t size) { return run(to_session_, text, size); }
const std::string& Recoder::from_session(const char* text, size_t size) { return run(from_session_, text, size); }

Connection::~Connection() { close(); }

void Connection::close() {
  if (connected) SQLDisconnect(dbc.h);
  connected = false;
  dbc.reset();
  env.reset();
}

void Connection::open(const std::string& connection) {
  env.type = SQL_HANDLE_ENV;
  check(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env.h), SQL_HANDLE_ENV, SQL_NULL_HANDLE,
        "The ODBC driver manager cannot be used");
  SQLSetEnvAttr(env.h, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  dbc.type = SQL_HANDLE_DBC;
  check(SQLAllocHandle(SQL_HANDLE_DBC, env.h, &dbc.h), SQL_HANDLE_ENV, env.h, "The ODBC driver manager cannot be used");
  SQLCHAR out[1024];
  SQLSMALLINT out_len = 0;
  SQLRETURN rc = SQLDriverConnect(dbc.h, nullptr, (SQLCHAR*)connection.c_str(), SQL_NTS, out, sizeof out, &out_len,
                                  SQL_DRIVER_NOPROMPT);
  check(rc, SQL_HANDLE_DBC, dbc.h, ("Cannot connect to " + without_password(connection)).c_str());
  connected = true;
  SQLCHAR name[128] = {};
  SQLSMALLINT len = 0;
  if (SQL_SUCCEEDED(SQLGetInfo(dbc.h, SQL_DBMS_NAME, name, sizeof name, &len))) dbms = reinterpret_cast<char*>(name);
}

std::vector<std::string> Connection::tables() {
  Handle st;
  st.type = SQL_HANDLE_STMT;
  check(SQLAllocHandle(SQL_HANDLE_STMT, dbc.h, &st.h), SQL_HANDLE_DBC, dbc.h, "Cannot list the tables");
  check(SQLTables(st.h, nullptr, 0, nullptr, 0, (SQLCHAR*)"%", SQL_NTS, (SQLCHAR*)"TABLE,VIEW", SQL_NTS),
        SQL_HANDLE_STMT, st.h, "Cannot list the tables");
  std::vector<std::string> names;
  SQLCHAR name[512];
  SQLLEN len = 0;
  SQLBindCol(st.h, 3, SQL_C_CHAR, name, sizeof name, &len);
  while (SQL_SUCCEEDED(SQLFetch(st.h)))
    if (len > 0) names.emplace_back(reinterpret_cast<char*>(name));
  return names;
}

bool Connection::has_table(const std::string& want) {
  for (const auto& name : tables())
    if (name == want) return true;
  return false;
}

void Connection::execute(const std::string& sql) {
  Handle st;
  st.type = SQL_HANDLE_STMT;
  check(SQLAllocHandle(SQL_HANDLE_STMT, dbc.h, &st.h), SQL_HANDLE_DBC, dbc.h, "Cannot run a statement");
  check(SQLExecDirect(st.h, (SQLCHAR*)sql.c_str(), SQL_NTS), SQL_HANDLE_STMT, st.h, sql.c_str());
}

std::string Connection::quote(const std::string& identifier) const {
  std::string q = "\"";
  for (char c : identifier) {
    if (c == '"') q += '"';
    q += c;
  }
  return q + "\"";
}

}  // namespace odbc
