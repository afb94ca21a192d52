// The ODBC database driver (driver 1, libDXODBC64.so): tables and views of any unixODBC data
// source as members, read in blocks of rows; data sets written as new tables with parameter
// arrays inside one transaction, committed when the transfer closes and rolled back when it
// failed.
//
// Parameters (DX_DBSetParm): 0 user name, 1 password, 2 the table to write; 8 the session
// encoding (UTF-8 when unset). The source is the path: a DSN, or a whole connection string
// ("Driver=SQLite3;Database=survey.db").
#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <charconv>
#include <cctype>
#include <cmath>
#include <string_view>
#include <strings.h>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/driver_abi.h"
#include "odbc_connection.h"
#include "odbc_values.h"
#include "sqlite_transport.h"

#define DRIVER_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using odbc::Failure;

// Numbered options the driver honours.
constexpr int kOptVarcharOverChar = 113;
constexpr int kOptNullStrings = 116;
constexpr int kOptUseDatetime = 117;
constexpr int kOptDateRowsToRead = 126;

constexpr int kParmUser = 0, kParmPassword = 1, kParmTable = 2, kParmEncoding = 8;

// Kinds as add_var takes them.
constexpr int kNumeric = 1, kString = 2, kDate = 4, kTime = 8, kDateTime = 16;
constexpr int kPacked = 1000;  // a result column of several numbers (SQLite)
// Storage types of the engine (var_type).
constexpr int kTString = 1, kTByte = 2, kTInt = 3, kTLong = 4, kTDate = 7, kTTime = 8, kTDateTime = 9;

constexpr size_t kMaxString = 32767;
constexpr size_t kBlockBytes = 4u << 20;  // rows per block: as many as fit in this
constexpr size_t kMaxBlockRows = 1024;

struct Column {
  int kind = kNumeric;
  SQLSMALLINT c_type = SQL_C_DOUBLE;
  SQLLEN width = sizeof(double);  // bytes of one value in the block
  int32_t var = 0;                // the variable it fills
  std::vector<int32_t> packed;    // or the numeric variables packed into it (SQLite)
  bool text_number = false;       // a number fetched as text
  std::vector<char> data;
  std::vector<SQLLEN> ind;
};

size_t block_rows(const std::vector<Column>& cols) {
  size_t row = 1;
  for (const auto& c : cols) row += static_cast<size_t>(c.width) + sizeof(SQLLEN);
  return std::clamp<size_t>(kBlockBytes / row, 1, kMaxBlockRows);
}

void allocate(std::vector<Column>& cols, size_t rows) {
  for (auto& c : cols) {
    c.data.assign(static_cast<size_t>(c.width) * rows, '\0');
    c.ind.assign(rows, SQL_NULL_DATA);
  }
}

std::string parm(const TabulonDriverContext* ctx, int k) { return ctx->parms[k] ? ctx->parms[k] : ""; }

int32_t option(TabulonDriverContext* ctx, int number, int32_t fallback) {
  return ctx->option ? ctx->option(ctx, number) : fallback;
}

// ---- reading ----

struct Reader {
  odbc::Connection conn;
  odbc::Recoder recoder;
  odbc::Handle stmt;
  std::vector<Column> cols;
  size_t block = 1;
  SQLULEN fetched = 0;
  size_t next = 0;
  bool done = false;
  bool null_strings = false;
  bool sqlite_doubles = false;  // tabulon_pack is there to call
  bool numbers_as_text = false; // the source converts numbers to text only (mdbtools)
  std::string query;
};

// What the column descriptions say a column is.
struct Described {
  std::string name;
  SQLSMALLINT type = 0;
  SQLULEN size = 0;
  SQLSMALLINT scale = 0;
  std::string type_name;  // as declared, where the driver tells it
};

// Sources with loose typing (SQLite) report a declared DECIMAL or NUMERIC as text.
bool declared_numeric(const std::string& type_name) {
  std::string upper;
  for (char c : type_name) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const char* word : {"DECIMAL", "NUMERIC", "NUMBER", "MONEY"})
    if (upper.find(word) != std::string::npos) return true;
  return false;
}

std::vector<Described> describe(SQLHSTMT st) {
  SQLSMALLINT n = 0;
  odbc::check(SQLNumResultCols(st, &n), SQL_HANDLE_STMT, st, "Cannot describe the table");
  std::vector<Described> out(static_cast<size_t>(std::max<SQLSMALLINT>(n, 0)));
  for (SQLSMALLINT k = 0; k < n; ++k) {
    SQLCHAR name[512] = {};
    SQLSMALLINT name_len = 0, nullable = 0;
    Described& d = out[static_cast<size_t>(k)];
    odbc::check(SQLDescribeCol(st, static_cast<SQLUSMALLINT>(k + 1), name, sizeof name, &name_len, &d.type, &d.size,
                               &d.scale, &nullable),
                SQL_HANDLE_STMT, st, "Cannot describe the table");
    d.name = reinterpret_cast<char*>(name);
    SQLCHAR type_name[128] = {};
    SQLSMALLINT type_len = 0;
    if (SQL_SUCCEEDED(SQLColAttribute(st, static_cast<SQLUSMALLINT>(k + 1), SQL_DESC_TYPE_NAME, type_name,
                                      sizeof type_name, &type_len, nullptr)))
      d.type_name = reinterpret_cast<char*>(type_name);
  }
  return out;
}

bool is_text(SQLSMALLINT t) {
  switch (t) {
    case SQL_CHAR: case SQL_VARCHAR: case SQL_LONGVARCHAR:
    case SQL_WCHAR: case SQL_WVARCHAR: case SQL_WLONGVARCHAR:
    case SQL_GUID:
      return true;
    default:
      return false;
  }
}

bool is_timestamp(SQLSMALLINT t) { return t == SQL_TYPE_TIMESTAMP || t == SQL_TIMESTAMP || t == SQL_DATETIME; }

// Where the source only says "timestamp", the first rows tell whether the column holds dates
// (every time is midnight) or times (every date is the same day). A column with no rows keeps
// the date-time.
int sample_timestamp_kind(odbc::Connection& conn, const std::string& table, const std::string& column, int32_t rows) {
  odbc::Handle st;
  st.type = SQL_HANDLE_STMT;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, conn.dbc.h, &st.h))) return kDateTime;
  const std::string sql = "SELECT " + conn.quote(column) + " FROM " + conn.quote(table);
  if (!SQL_SUCCEEDED(SQLExecDirect(st.h, (SQLCHAR*)sql.c_str(), SQL_NTS))) return kDateTime;
  SQL_TIMESTAMP_STRUCT ts{};
  SQLLEN ind = 0;
  SQLBindCol(st.h, 1, SQL_C_TYPE_TIMESTAMP, &ts, sizeof ts, &ind);
  bool all_midnight = true, one_day = true, any = false;
  SQL_TIMESTAMP_STRUCT first{};
  for (int32_t k = 0; (rows < 0 || k < rows) && SQL_SUCCEEDED(SQLFetch(st.h)); ++k) {
    if (ind == SQL_NULL_DATA) continue;
    if (!any) first = ts;
    any = true;
    all_midnight = all_midnight && ts.hour == 0 && ts.minute == 0 && ts.second == 0 && ts.fraction == 0;
    one_day = one_day && ts.year == first.year && ts.month == first.month && ts.day == first.day;
  }
  if (!any) return kDateTime;
  if (all_midnight) return kDate;
  if (one_day && first.year <= 1900) return kTime;
  return kDateTime;
}

// Text columns without a useful declared length (SQLite's TEXT, PostgreSQL's text) are as wide
// as their longest value; the source counts it. 0 when it cannot.
size_t longest_text(odbc::Connection& conn, const std::string& table, const std::string& column) {
  odbc::Handle st;
  st.type = SQL_HANDLE_STMT;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, conn.dbc.h, &st.h))) return 0;
  for (const char* fn : {"LENGTH", "CHAR_LENGTH"}) {
    const std::string sql =
        std::string("SELECT MAX(") + fn + "(" + conn.quote(column) + ")) FROM " + conn.quote(table);
    if (!SQL_SUCCEEDED(SQLExecDirect(st.h, (SQLCHAR*)sql.c_str(), SQL_NTS))) continue;
    SQLBIGINT n = 0;
    SQLLEN ind = 0;
    const bool got = SQL_SUCCEEDED(SQLFetch(st.h)) && SQL_SUCCEEDED(SQLGetData(st.h, 1, SQL_C_SBIGINT, &n, 0, &ind));
    SQLFreeStmt(st.h, SQL_CLOSE);
    if (got) return ind == SQL_NULL_DATA || n < 1 ? 1 : static_cast<size_t>(n);
  }
  return 0;
}

// SQLite through its ODBC driver: connects again with this library loaded as an extension so
// that doubles arrive whole (see sqlite_transport.cpp). Without it the driver's text is used.
void load_sqlite_extension(Reader& r, const std::string& conn) {
  if (r.conn.dbms != "SQLite") return;
  std::string upper;
  for (char c : conn) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const std::string library = odbc::sqlite_extension_path();
  if (!library.empty() && upper.find("LOADEXT=") == std::string::npos &&
      library.find_first_of(";{}") == std::string::npos) {
    r.conn.close();
    try {
      r.conn.open(conn + "LoadExt=" + library + ";");
    } catch (const Failure&) {
      r.conn.close();
      r.conn.open(conn);
      return;
    }
  }
  odbc::Handle st;
  st.type = SQL_HANDLE_STMT;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, r.conn.dbc.h, &st.h))) return;
  const std::string probe = std::string("SELECT ") + odbc::kSqlitePackFunction + "(1.5)";
  r.sqlite_doubles = SQL_SUCCEEDED(SQLExecDirect(st.h, (SQLCHAR*)probe.c_str(), SQL_NTS));
}

bool is_access(const TabulonDriverContext* ctx) { return ctx->format_code == 23 || ctx->format_code == 58; }

// An Access file named by its path goes through the mdbtools ODBC driver.
std::string source(const TabulonDriverContext* ctx) {
  const std::string path = ctx->path ? ctx->path : "";
  if (is_access(ctx) && path.find('=') == std::string::npos) return "Driver=MDBTools;DBQ=" + path + ";";
  return path;
}

constexpr const char* kAccessReadOnly =
    "Access databases can be read but not written here (the mdbtools ODBC driver is read only)";

int32_t fail(TabulonDriverContext* ctx, const std::string& text) {
  std::snprintf(ctx->message, TABULON_DRIVER_MESSAGE_SIZE, "%s", odbc::without_password(text).c_str());
  return -2;
}

Reader* reader_of(TabulonDriverContext* ctx) { return static_cast<Reader*>(ctx->connection); }

void read_dictionary(TabulonDriverContext* ctx, Reader& r) {
  const std::string table = ctx->table;
  const std::string from = " FROM " + r.conn.quote(table);
  r.null_strings = option(ctx, kOptNullStrings, 0) != 0;
  const bool use_datetime = option(ctx, kOptUseDatetime, 1) != 0;
  const int32_t sample_rows = option(ctx, kOptDateRowsToRead, 10);

  // The case count first, so that the host can show progress and check the transfer.
  {
    odbc::Handle st;
    st.type = SQL_HANDLE_STMT;
    odbc::check(SQLAllocHandle(SQL_HANDLE_STMT, r.conn.dbc.h, &st.h), SQL_HANDLE_DBC, r.conn.dbc.h, "Cannot read");
    const std::string sql = "SELECT COUNT(*)" + from;
    odbc::check(SQLExecDirect(st.h, (SQLCHAR*)sql.c_str(), SQL_NTS), SQL_HANDLE_STMT, st.h,
                ("Cannot read table " + table).c_str());
    SQLBIGINT count = 0;
    SQLLEN ind = 0;
    if (SQL_SUCCEEDED(SQLFetch(st.h)) && SQL_SUCCEEDED(SQLGetData(st.h, 1, SQL_C_SBIGINT, &count, 0, &ind)) &&
        ind != SQL_NULL_DATA && count >= 0 && count <= 0xFFFFFFFFLL)
      ctx->announce_cases(ctx, static_cast<uint32_t>(count));
  }

  r.stmt.type = SQL_HANDLE_STMT;
  odbc::check(SQLAllocHandle(SQL_HANDLE_STMT, r.conn.dbc.h, &r.stmt.h), SQL_HANDLE_DBC, r.conn.dbc.h, "Cannot read");
  r.query = "SELECT *" + from;
  const std::string& sql = r.query;
  odbc::check(SQLExecDirect(r.stmt.h, (SQLCHAR*)sql.c_str(), SQL_NTS), SQL_HANDLE_STMT, r.stmt.h,
              ("Cannot read table " + table).c_str());
  const std::vector<Described> described = describe(r.stmt.h);

  for (const Described& d : described) {
    Column c;
    int32_t width = 0, decimals = 0;
    if (is_text(d.type) && !declared_numeric(d.type_name)) {
      c.kind = kString;
      c.c_type = SQL_C_CHAR;
      // Sources that give no length (or a huge one) get the longest string an output holds.
      size_t chars = d.size == 0 || d.size > kMaxString ? kMaxString : static_cast<size_t>(d.size);
      if (d.size == 0 || d.size > 4096 || d.type == SQL_LONGVARCHAR || d.type == SQL_WLONGVARCHAR)
        if (size_t longest = longest_text(r.conn, table, d.name); longest > 0) chars = std::min(longest, kMaxString);
      width = static_cast<int32_t>(chars);
      // Bytes in the session encoding: up to 4 per character in UTF-8.
      c.width = static_cast<SQLLEN>(std::min(chars * 4, kMaxString * 4) + 1);
    } else if (d.type == SQL_TYPE_DATE || d.type == SQL_DATE) {
      c.kind = kDate;
      c.c_type = SQL_C_TYPE_DATE;
      c.width = sizeof(SQL_DATE_STRUCT);
    } else if (d.type == SQL_TYPE_TIME || d.type == SQL_TIME) {
      c.kind = kTime;
      c.c_type = SQL_C_TYPE_TIMESTAMP;  // drivers give fractions of a second only here
      c.width = sizeof(SQL_TIMESTAMP_STRUCT);
    } else if (is_timestamp(d.type)) {
      c.kind = use_datetime ? kDateTime : sample_timestamp_kind(r.conn, table, d.name, sample_rows);
      c.c_type = SQL_C_TYPE_TIMESTAMP;
      c.width = sizeof(SQL_TIMESTAMP_STRUCT);
    } else {
      c.kind = kNumeric;
      c.c_type = r.numbers_as_text ? SQL_C_CHAR : SQL_C_DOUBLE;
      c.text_number = r.numbers_as_text;
      c.width = r.numbers_as_text ? 64 : sizeof(double);
      switch (d.type) {
        case SQL_DECIMAL: case SQL_NUMERIC: case SQL_VARCHAR: case SQL_CHAR:
          width = static_cast<int32_t>(std::min<SQLULEN>(d.size + 2, 40));
          decimals = d.scale;
          break;
        case SQL_BIT: case SQL_TINYINT: case SQL_SMALLINT: case SQL_INTEGER: case SQL_BIGINT:
          width = static_cast<int32_t>(std::min<SQLULEN>(d.size ? d.size + 1 : 20, 40));
          break;
        default:
          break;
      }
    }
    std::string name = d.name;
    if (r.recoder.active()) name = r.recoder.from_session(name.data(), name.size());
    if (ctx->add_var(ctx, name.c_str(), c.kind, width, decimals) < 0)
      throw Failure{"The column " + name + " cannot be added to the dictionary"};
    c.var = static_cast<int32_t>(r.cols.size());
    r.cols.push_back(std::move(c));
  }

  // SQLite: the numbers of a row come packed into one text value, a hundred at most.
  if (r.sqlite_doubles && std::any_of(r.cols.begin(), r.cols.end(), [](const Column& c) { return c.kind == kNumeric; })) {
    std::vector<Column> fetched, packs;  // in the order of the select list: the packs last
    std::string select, pack;
    Column* packing = nullptr;
    for (const Column& c : r.cols) {
      const std::string column = r.conn.quote(described[static_cast<size_t>(c.var)].name);
      if (c.kind != kNumeric) {
        select += (select.empty() ? "" : ", ") + column;
        fetched.push_back(c);
        continue;
      }
      if (!packing || packing->packed.size() == odbc::kMaxPacked) {
        if (packing) pack += ")";
        pack += std::string(pack.empty() ? "" : ", ") + odbc::kSqlitePackFunction + "(";
        packs.emplace_back();
        packing = &packs.back();
        packing->kind = kPacked;
        packing->c_type = SQL_C_CHAR;
      } else {
        pack += ", ";
      }
      pack += column;
      packing->packed.push_back(c.var);
      packing->width = static_cast<SQLLEN>(packing->packed.size() * odbc::kPackedChars + 1);
    }
    for (Column& c : packs) fetched.push_back(std::move(c));
    const std::string packed_query = "SELECT " + select + (select.empty() ? "" : ", ") + pack + ")" + from;
    SQLFreeStmt(r.stmt.h, SQL_CLOSE);
    if (SQL_SUCCEEDED(SQLExecDirect(r.stmt.h, (SQLCHAR*)packed_query.c_str(), SQL_NTS))) {
      r.cols = std::move(fetched);
      r.query = packed_query;
    } else {
      // Names the select list cannot repeat (a view's odd column names): the plain values.
      SQLFreeStmt(r.stmt.h, SQL_CLOSE);
      odbc::check(SQLExecDirect(r.stmt.h, (SQLCHAR*)r.query.c_str(), SQL_NTS), SQL_HANDLE_STMT, r.stmt.h,
                  ("Cannot read table " + table).c_str());
    }
  }

  r.block = block_rows(r.cols);
  allocate(r.cols, r.block);
  SQLSetStmtAttr(r.stmt.h, SQL_ATTR_ROW_BIND_TYPE, reinterpret_cast<SQLPOINTER>(SQL_BIND_BY_COLUMN), 0);
  if (!SQL_SUCCEEDED(SQLSetStmtAttr(r.stmt.h, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(r.block), 0)))
    r.block = 1;  // a driver without block fetch: one row a call
  SQLSetStmtAttr(r.stmt.h, SQL_ATTR_ROWS_FETCHED_PTR, &r.fetched, 0);
  for (size_t k = 0; k < r.cols.size(); ++k) {
    Column& c = r.cols[k];
    odbc::check(SQLBindCol(r.stmt.h, static_cast<SQLUSMALLINT>(k + 1), c.c_type, c.data.data(), c.width, c.ind.data()),
                SQL_HANDLE_STMT, r.stmt.h, "Cannot bind the columns");
  }
}

void put_packed(TabulonDriverContext* ctx, const Column& c, const char* p, SQLLEN ind) {
  if (ind == SQL_NULL_DATA || ind == SQL_NO_TOTAL || ind >= c.width) throw Failure{"The packed numbers of a row are broken"};
  const char* end = p + ind;
  for (const int32_t k : c.packed) {
    double x = 0;
    const int got = odbc::unpack_double(p, end, x);
    if (got == 1)
      ctx->set_double(ctx, k, x);
    else if (got == -2)
      throw Failure{"The packed numbers of a row are broken"};
    else
      ctx->set_missing(ctx, k, 1);
    if (got == -1) ctx->note_unreadable(ctx, k, 1);  // text in a numeric column that is no number
  }
}

void put_value(TabulonDriverContext* ctx, Reader& r, const Column& c, size_t row) {
  const int32_t k = c.var;
  const SQLLEN ind = c.ind[row];
  const char* p = c.data.data() + static_cast<size_t>(c.width) * row;
  if (c.kind == kPacked) return put_packed(ctx, c, p, ind);
  if (ind == SQL_NULL_DATA) {
    if (c.kind == kString && !r.null_strings)
      ctx->set_string(ctx, k, "");
    else
      ctx->set_missing(ctx, k, 1);
    return;
  }
  switch (c.kind) {
    case kString: {
      size_t len = ind == SQL_NO_TOTAL || ind >= c.width ? static_cast<size_t>(c.width - 1) : static_cast<size_t>(ind);
      len = strnlen(p, len);
      if (r.recoder.active())
        ctx->set_string(ctx, k, r.recoder.from_session(p, len).c_str());
      else if (len < static_cast<size_t>(c.width) && p[len] == 0)
        ctx->set_string(ctx, k, p);  // already ends where the value ends
      else
        ctx->set_string(ctx, k, std::string(p, len).c_str());
      break;
    }
    case kDate:
      if (c.c_type == SQL_C_TYPE_DATE) {
        SQL_DATE_STRUCT d;
        std::memcpy(&d, p, sizeof d);
        ctx->set_double(ctx, k, odbc::day_number(d));
      } else {
        SQL_TIMESTAMP_STRUCT t;
        std::memcpy(&t, p, sizeof t);
        ctx->set_double(ctx, k, odbc::day_number(SQL_DATE_STRUCT{t.year, t.month, t.day}));
      }
      break;
    case kTime: {
      SQL_TIMESTAMP_STRUCT t;
      std::memcpy(&t, p, sizeof t);
      ctx->set_double(ctx, k, odbc::time_fraction(t.hour, t.minute, t.second + t.fraction / 1e9));
      break;
    }
    case kDateTime: {
      SQL_TIMESTAMP_STRUCT t;
      std::memcpy(&t, p, sizeof t);
      ctx->set_double(ctx, k, odbc::day_number(t));
      break;
    }
    default: {
      double x;
      if (c.text_number) {
        const char* end = p + (ind >= 0 && ind < c.width ? ind : strnlen(p, static_cast<size_t>(c.width - 1)));
        while (p < end && *p == ' ') ++p;
        if (p < end && *p == '+') ++p;
        const auto got = std::from_chars(p, end, x);
        if (got.ec != std::errc()) {
          ctx->set_missing(ctx, k, 1);
          ctx->note_unreadable(ctx, k, 1);
          return;
        }
      } else {
        std::memcpy(&x, p, sizeof x);
      }
      ctx->set_double(ctx, k, x);
    }
  }
}

// ---- writing ----

struct Writer {
  odbc::Connection conn;
  odbc::Recoder recoder;
  odbc::Handle stmt;
  std::vector<Column> cols;
  std::vector<int> ttypes;
  size_t block = 1;
  size_t rows = 0;  // rows waiting in the block
  bool null_strings = false;
  bool in_transaction = false;
};

Writer* writer_of(TabulonDriverContext* ctx) { return static_cast<Writer*>(ctx->connection); }

// Column names that every SQL source takes once quoted: letters, digits and underscores,
// starting with a letter, unique without regard to case.
std::vector<std::string> sql_names(TabulonDriverContext* ctx, int32_t n) {
  std::vector<std::string> names;
  for (int32_t k = 0; k < n; ++k) {
    const char* raw = ctx->var_name(ctx, k);
    std::string name;
    for (const char* p = raw ? raw : ""; *p; ++p) {
      const unsigned char ch = static_cast<unsigned char>(*p);
      name += std::isalnum(ch) || ch == '_' ? static_cast<char>(ch) : '_';
    }
    if (name.empty() || !std::isalpha(static_cast<unsigned char>(name[0]))) name = "v" + name;
    if (name.size() > 63) name.resize(63);
    auto taken = [&](const std::string& s) {
      return std::any_of(names.begin(), names.end(), [&](const std::string& t) { return strcasecmp(s.c_str(), t.c_str()) == 0; });
    };
    std::string unique = name;
    for (int i = 2; taken(unique); ++i) unique = name.substr(0, 58) + "_" + std::to_string(i);
    names.push_back(unique);
  }
  return names;
}

void create_table(TabulonDriverContext* ctx, Writer& w, const std::string& table) {
  const int32_t n = ctx->var_count(ctx);
  if (n <= 0) throw Failure{"There are no variables to write"};
  const std::vector<std::string> names = sql_names(ctx, n);
  const bool varchar = option(ctx, kOptVarcharOverChar, 1) != 0;
  w.null_strings = option(ctx, kOptNullStrings, 0) != 0;

  std::string create = "CREATE TABLE " + w.conn.quote(table) + " (";
  std::string insert = "INSERT INTO " + w.conn.quote(table) + " (";
  std::string marks;
  for (int32_t k = 0; k < n; ++k) {
    const int ttype = ctx->var_type(ctx, k);
    Column c;
    std::string sql_type;
    switch (ttype) {
      case kTString: {
        const int32_t width = std::clamp<int32_t>(ctx->var_width(ctx, k), 1, static_cast<int32_t>(kMaxString));
        sql_type = (varchar ? "VARCHAR(" : "CHAR(") + std::to_string(width) + ")";
        c.kind = kString;
        c.c_type = SQL_C_CHAR;
        c.width = static_cast<SQLLEN>(width) * 4 + 1;
        break;
      }
      case kTByte: case kTInt: case kTLong:
        sql_type = "INTEGER";
        c.c_type = SQL_C_SLONG;
        c.width = sizeof(SQLINTEGER);
        break;
      case kTDate:
        sql_type = "DATE";
        c.kind = kDate;
        c.c_type = SQL_C_TYPE_DATE;
        c.width = sizeof(SQL_DATE_STRUCT);
        break;
      case kTTime:
        sql_type = "TIME";
        c.kind = kTime;
        c.c_type = SQL_C_TYPE_TIME;
        c.width = sizeof(SQL_TIME_STRUCT);
        break;
      case kTDateTime:
        sql_type = "TIMESTAMP";
        c.kind = kDateTime;
        c.c_type = SQL_C_TYPE_TIMESTAMP;
        c.width = sizeof(SQL_TIMESTAMP_STRUCT);
        break;
      default:
        sql_type = "DOUBLE PRECISION";
        break;
    }
    const std::string column = w.conn.quote(names[static_cast<size_t>(k)]);
    create += (k ? ", " : "") + column + " " + sql_type;
    insert += (k ? ", " : "") + column;
    marks += k ? ", ?" : "?";
    w.ttypes.push_back(ttype);
    w.cols.push_back(std::move(c));
  }
  create += ")";
  insert += ") VALUES (" + marks + ")";

  SQLSetConnectAttr(w.conn.dbc.h, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0);
  w.in_transaction = true;
  if (w.conn.has_table(table)) {
    if (!ctx->confirm_replace || ctx->confirm_replace(ctx, table.c_str()) != 1)
      throw Failure{"The table " + table + " exists and was not replaced"};
    w.conn.execute("DROP TABLE " + w.conn.quote(table));
  }
  w.conn.execute(create);

  w.block = block_rows(w.cols);
  allocate(w.cols, w.block);
  w.stmt.type = SQL_HANDLE_STMT;
  odbc::check(SQLAllocHandle(SQL_HANDLE_STMT, w.conn.dbc.h, &w.stmt.h), SQL_HANDLE_DBC, w.conn.dbc.h, "Cannot insert");
  odbc::check(SQLPrepare(w.stmt.h, (SQLCHAR*)insert.c_str(), SQL_NTS), SQL_HANDLE_STMT, w.stmt.h, insert.c_str());
  SQLSetStmtAttr(w.stmt.h, SQL_ATTR_PARAM_BIND_TYPE, reinterpret_cast<SQLPOINTER>(SQL_PARAM_BIND_BY_COLUMN), 0);
  if (!SQL_SUCCEEDED(SQLSetStmtAttr(w.stmt.h, SQL_ATTR_PARAMSET_SIZE, reinterpret_cast<SQLPOINTER>(w.block), 0)))
    w.block = 1;
  for (size_t k = 0; k < w.cols.size(); ++k) {
    Column& c = w.cols[k];
    SQLSMALLINT sql_type = SQL_DOUBLE;
    SQLULEN size = 15;
    SQLSMALLINT digits = 0;
    switch (c.c_type) {
      case SQL_C_CHAR: sql_type = SQL_VARCHAR; size = static_cast<SQLULEN>(c.width - 1); break;
      case SQL_C_SLONG: sql_type = SQL_INTEGER; size = 10; break;
      case SQL_C_TYPE_DATE: sql_type = SQL_TYPE_DATE; size = 10; break;
      case SQL_C_TYPE_TIME: sql_type = SQL_TYPE_TIME; size = 8; break;
      case SQL_C_TYPE_TIMESTAMP: sql_type = SQL_TYPE_TIMESTAMP; size = 26; digits = 6; break;
      default: break;
    }
    odbc::check(SQLBindParameter(w.stmt.h, static_cast<SQLUSMALLINT>(k + 1), SQL_PARAM_INPUT, c.c_type, sql_type, size,
                                 digits, c.data.data(), c.width, c.ind.data()),
                SQL_HANDLE_STMT, w.stmt.h, "Cannot bind the values");
  }
}

void flush(Writer& w) {
  if (w.rows == 0) return;
  if (w.rows != w.block)
    SQLSetStmtAttr(w.stmt.h, SQL_ATTR_PARAMSET_SIZE, reinterpret_cast<SQLPOINTER>(w.rows), 0);
  odbc::check(SQLExecute(w.stmt.h), SQL_HANDLE_STMT, w.stmt.h, "Cannot insert the rows");
  if (w.rows != w.block)
    SQLSetStmtAttr(w.stmt.h, SQL_ATTR_PARAMSET_SIZE, reinterpret_cast<SQLPOINTER>(w.block), 0);
  w.rows = 0;
}

void take_value(TabulonDriverContext* ctx, Writer& w, int32_t k) {
  Column& c = w.cols[static_cast<size_t>(k)];
  char* p = c.data.data() + static_cast<size_t>(c.width) * w.rows;
  SQLLEN& ind = c.ind[w.rows];
  if (c.kind == kString) {
    const char* s = nullptr;
    const int32_t missing = ctx->get_string(ctx, k, &s);
    if (missing != 0 && w.null_strings) {
      ind = SQL_NULL_DATA;
      return;
    }
    std::string_view text = s && missing == 0 ? s : "";
    if (w.recoder.active()) text = w.recoder.to_session(text.data(), text.size());
    const size_t len = std::min(text.size(), static_cast<size_t>(c.width - 1));
    std::memcpy(p, text.data(), len);
    p[len] = 0;
    ind = static_cast<SQLLEN>(len);
    return;
  }
  double x = 0;
  if (ctx->get_double(ctx, k, &x) != 0 || !std::isfinite(x)) {
    ind = SQL_NULL_DATA;
    return;
  }
  ind = c.width;
  switch (c.c_type) {
    case SQL_C_SLONG: {
      const SQLINTEGER v = static_cast<SQLINTEGER>(std::llround(x));
      std::memcpy(p, &v, sizeof v);
      break;
    }
    case SQL_C_TYPE_DATE: {
      const SQL_DATE_STRUCT d = odbc::to_date(x);
      std::memcpy(p, &d, sizeof d);
      break;
    }
    case SQL_C_TYPE_TIME: {
      SQL_TIME_STRUCT t{};
      if (!odbc::to_time(x, t)) {
        ind = SQL_NULL_DATA;  // a duration a TIME column cannot hold
        return;
      }
      std::memcpy(p, &t, sizeof t);
      break;
    }
    case SQL_C_TYPE_TIMESTAMP: {
      const SQL_TIMESTAMP_STRUCT t = odbc::to_timestamp(x);
      std::memcpy(p, &t, sizeof t);
      break;
    }
    default:
      std::memcpy(p, &x, sizeof x);
  }
}

template <class Body>
int32_t guarded(TabulonDriverContext* ctx, int32_t failure, Body body) {
  try {
    return body();
  } catch (const Failure& f) {
    return fail(ctx, f.what) < 0 ? failure : failure;
  } catch (const std::exception& e) {
    fail(ctx, e.what());
    return failure;
  }
}

}  // namespace

// Input side: connects and lists the tables and views as members.
DRIVER_EXPORT int32_t open_db(TabulonDriverContext* ctx) {
  if (ctx->abi != TABULON_DRIVER_ABI) return 0;
  return guarded(ctx, 0, [&]() -> int32_t {
    delete reader_of(ctx);
    ctx->connection = nullptr;
    auto r = std::make_unique<Reader>();
    r->recoder.open(parm(ctx, kParmEncoding));
    const std::string conn = odbc::connection_string(source(ctx), ctx->parms[kParmUser], ctx->parms[kParmPassword]);
    r->conn.open(conn);
    load_sqlite_extension(*r, conn);
    // mdbtools fails to convert some numeric columns to doubles, and lists the system tables.
    const bool access = r->conn.dbms == "MDBTOOLS";
    r->numbers_as_text = access;
    for (const auto& name : r->conn.tables())
      if (!access || name.compare(0, 4, "MSys") != 0) ctx->add_table(ctx, name.c_str());
    ctx->connection = r.release();
    return 1;
  });
}

DRIVER_EXPORT int32_t read_dict(TabulonDriverContext* ctx) {
  Reader* r = reader_of(ctx);
  if (!r) return fail(ctx, "The data source is not open");
  if (!ctx->table) return fail(ctx, "No table of the data source was chosen");
  return guarded(ctx, -2, [&]() -> int32_t {
    read_dictionary(ctx, *r);
    return 1;
  });
}

DRIVER_EXPORT int32_t rd_data(TabulonDriverContext* ctx) {
  Reader* r = reader_of(ctx);
  if (!r || !r->stmt.h) return fail(ctx, "The table is not open");
  return guarded(ctx, -2, [&]() -> int32_t {
    if (r->next >= r->fetched) {
      if (r->done) return -1;
      r->fetched = 0;
      r->next = 0;
      const SQLRETURN rc = SQLFetch(r->stmt.h);
      if (rc == SQL_NO_DATA) {
        r->done = true;
        return -1;
      }
      odbc::check(rc, SQL_HANDLE_STMT, r->stmt.h, "Cannot read the rows");
      if (r->block == 1 && r->fetched == 0) r->fetched = 1;  // drivers that leave the count alone
      if (r->fetched == 0) return -1;
    }
    for (const Column& c : r->cols) put_value(ctx, *r, c, r->next);
    ++r->next;
    return 0;
  });
}

// Runs the query again: the next rd_data gives the first row.
DRIVER_EXPORT int32_t rd_rewind(TabulonDriverContext* ctx) {
  Reader* r = reader_of(ctx);
  if (!r || !r->stmt.h) return fail(ctx, "The table is not open");
  return guarded(ctx, -2, [&]() -> int32_t {
    SQLFreeStmt(r->stmt.h, SQL_CLOSE);
    odbc::check(SQLExecDirect(r->stmt.h, (SQLCHAR*)r->query.c_str(), SQL_NTS), SQL_HANDLE_STMT, r->stmt.h,
                "Cannot read the table again");
    r->fetched = 0;
    r->next = 0;
    r->done = false;
    return 0;
  });
}

DRIVER_EXPORT int32_t closer(TabulonDriverContext* ctx) {
  delete reader_of(ctx);
  ctx->connection = nullptr;
  return 1;
}

// Output side: the table (parameter 2) is created inside a transaction.
DRIVER_EXPORT int32_t wdict(TabulonDriverContext* ctx) {
  if (ctx->abi != TABULON_DRIVER_ABI) return fail(ctx, "The driver does not match this library");
  if (is_access(ctx)) return fail(ctx, kAccessReadOnly);
  const std::string table = parm(ctx, kParmTable);
  if (table.empty()) return fail(ctx, "No table name was given for the database output");
  return guarded(ctx, -2, [&]() -> int32_t {
    delete writer_of(ctx);
    ctx->connection = nullptr;
    auto w = std::make_unique<Writer>();
    w->recoder.open(parm(ctx, kParmEncoding));
    w->conn.open(odbc::connection_string(source(ctx), ctx->parms[kParmUser], ctx->parms[kParmPassword]));
    if (w->conn.dbms == "MDBTOOLS") throw Failure{kAccessReadOnly};
    try {
      create_table(ctx, *w, table);
    } catch (...) {
      if (w->in_transaction) SQLEndTran(SQL_HANDLE_DBC, w->conn.dbc.h, SQL_ROLLBACK);
      throw;
    }
    ctx->connection = w.release();
    return 0;
  });
}

DRIVER_EXPORT int32_t wcase(TabulonDriverContext* ctx) {
  Writer* w = writer_of(ctx);
  if (!w) return fail(ctx, "The table was not created");
  return guarded(ctx, -2, [&]() -> int32_t {
    for (size_t k = 0; k < w->cols.size(); ++k) take_value(ctx, *w, static_cast<int32_t>(k));
    if (++w->rows == w->block) flush(*w);
    return 0;
  });
}

// Commits what was written, or rolls it all back (table included) when the transfer failed.
DRIVER_EXPORT int32_t closew(TabulonDriverContext* ctx) {
  std::unique_ptr<Writer> w(writer_of(ctx));
  ctx->connection = nullptr;
  if (!w) return 1;
  const int32_t result = guarded(ctx, -2, [&]() -> int32_t {
    if (ctx->failed) {
      SQLEndTran(SQL_HANDLE_DBC, w->conn.dbc.h, SQL_ROLLBACK);
      return 1;
    }
    flush(*w);
    odbc::check(SQLEndTran(SQL_HANDLE_DBC, w->conn.dbc.h, SQL_COMMIT), SQL_HANDLE_DBC, w->conn.dbc.h,
                "Cannot commit the rows");
    return 1;
  });
  if (result < 0) SQLEndTran(SQL_HANDLE_DBC, w->conn.dbc.h, SQL_ROLLBACK);
  w->stmt.reset();
  return result;
}

// The data sources the driver manager knows (user and system DSNs).
DRIVER_EXPORT int32_t get_data_sources(TabulonDriverContext* ctx) {
  odbc::Handle env;
  env.type = SQL_HANDLE_ENV;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env.h))) return fail(ctx, "The ODBC driver manager cannot be used");
  SQLSetEnvAttr(env.h, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  int32_t n = 0;
  SQLCHAR name[SQL_MAX_DSN_LENGTH + 1], description[512];
  SQLSMALLINT name_len = 0, description_len = 0;
  for (SQLUSMALLINT dir = SQL_FETCH_FIRST;
       SQL_SUCCEEDED(SQLDataSources(env.h, dir, name, sizeof name, &name_len, description, sizeof description, &description_len));
       dir = SQL_FETCH_NEXT) {
    ctx->add_source(ctx, reinterpret_cast<char*>(name), reinterpret_cast<char*>(description));
    ++n;
  }
  return n;
}
