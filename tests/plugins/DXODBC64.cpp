// A database driver for the tests: tables held in memory for the life of the process.
// Built as libDXODBC64.so, the file name the engine maps driver number 1 to.
// Writing a table through the pipeline and reading it back proves the contract.
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "engine/driver_abi.h"

namespace {

struct Column {
  std::string name;
  int32_t type;  // 1 numeric, 2 string (as add_var takes them)
  int32_t width;
};

struct Cell {
  bool missing = true;
  double number = 0;
  std::string text;
};

struct Table {
  std::vector<Column> columns;
  std::vector<std::vector<Cell>> rows;
};

std::map<std::string, Table> g_tables;  // ordered: tables are listed by name

struct Cursor {
  Table* table = nullptr;
  size_t row = 0;
};
std::map<TabulonDriverContext*, Cursor> g_cursors;

int32_t fail(TabulonDriverContext* ctx, const char* text) {
  std::snprintf(ctx->message, TABULON_DRIVER_MESSAGE_SIZE, "%s", text);
  return -2;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int32_t open_db(TabulonDriverContext* ctx) {
  if (ctx->abi != TABULON_DRIVER_ABI) return 0;
  // "refuse" as the source name stands for a source that cannot be reached.
  if (ctx->path && std::strcmp(ctx->path, "refuse") == 0) {
    std::snprintf(ctx->message, TABULON_DRIVER_MESSAGE_SIZE, "Test source refused the connection");
    return 0;
  }
  for (const auto& [name, table] : g_tables) ctx->add_table(ctx, name.c_str());
  g_cursors[ctx] = Cursor{};
  return 1;
}

__attribute__((visibility("default"))) int32_t read_dict(TabulonDriverContext* ctx) {
  if (!ctx->table) return fail(ctx, "No table chosen");
  auto it = g_tables.find(ctx->table);
  if (it == g_tables.end()) return fail(ctx, "No such table");
  for (const Column& c : it->second.columns) ctx->add_var(ctx, c.name.c_str(), c.type, c.width, 0);
  ctx->announce_cases(ctx, static_cast<uint32_t>(it->second.rows.size()));
  g_cursors[ctx] = Cursor{&it->second, 0};
  return 1;
}

__attribute__((visibility("default"))) int32_t rd_data(TabulonDriverContext* ctx) {
  Cursor& cur = g_cursors[ctx];
  if (!cur.table) return fail(ctx, "Table not open");
  if (cur.row >= cur.table->rows.size()) return -1;
  const auto& row = cur.table->rows[cur.row++];
  for (size_t k = 0; k < row.size(); ++k) {
    const Cell& cell = row[k];
    int32_t var = static_cast<int32_t>(k);
    if (cell.missing)
      ctx->set_missing(ctx, var, 1);
    else if (cur.table->columns[k].type == 2)
      ctx->set_string(ctx, var, cell.text.c_str());
    else
      ctx->set_double(ctx, var, cell.number);
  }
  return 0;
}

__attribute__((visibility("default"))) int32_t rd_rewind(TabulonDriverContext* ctx) {
  g_cursors[ctx].row = 0;
  return 0;
}

__attribute__((visibility("default"))) int32_t closer(TabulonDriverContext* ctx) {
  g_cursors.erase(ctx);
  return 1;
}

__attribute__((visibility("default"))) int32_t wdict(TabulonDriverContext* ctx) {
  if (!ctx->path || !*ctx->path) return fail(ctx, "No table name");
  Table& t = g_tables[ctx->path];
  t = Table{};
  int32_t n = ctx->var_count(ctx);
  for (int32_t k = 0; k < n; ++k)
    t.columns.push_back({ctx->var_name(ctx, k), ctx->var_type(ctx, k) == 1 ? 2 : 1, ctx->var_width(ctx, k)});
  g_cursors[ctx] = Cursor{&t, 0};
  return 0;
}

__attribute__((visibility("default"))) int32_t wcase(TabulonDriverContext* ctx) {
  Table* t = g_cursors[ctx].table;
  if (!t) return fail(ctx, "Table not created");
  std::vector<Cell> row(t->columns.size());
  for (size_t k = 0; k < row.size(); ++k) {
    int32_t var = static_cast<int32_t>(k);
    if (t->columns[k].type == 2) {
      const char* s = nullptr;
      row[k].missing = ctx->get_string(ctx, var, &s) != 0;
      if (s) row[k].text = s;
    } else {
      row[k].missing = ctx->get_double(ctx, var, &row[k].number) != 0;
    }
  }
  t->rows.push_back(std::move(row));
  return 0;
}

__attribute__((visibility("default"))) int32_t closew(TabulonDriverContext* ctx) {
  g_cursors.erase(ctx);
  return 1;
}

__attribute__((visibility("default"))) int32_t get_data_sources(TabulonDriverContext* ctx) {
  ctx->add_source(ctx, "memory", "Tables held in memory");
  ctx->add_source(ctx, "refuse", nullptr);
  return 2;
}

}  // extern "C"
