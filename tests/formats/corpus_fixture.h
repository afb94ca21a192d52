// Files written by the statistical packages themselves, read through the public entry points and
// compared with FILE.expected.json: what an independent reader saw in them (the corpus README
// describes the layout). A test copies the file and its expected contents into tests/fixtures/.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "api/env_record.h"
#include "dict/dictionary.h"
#include "tabulon/tabulon.h"

namespace corpus {

using nlohmann::json;

struct Var {
  std::string name, label, native_format;
  int ttype = 0;
};

struct Cell {
  int missing = 0;  // 0 present, 1 system missing, 2..27 .A-.Z, 29 ._
  double number = 0;
  std::string text;
};

struct Read {
  int32_t rc = 0;  // first failing return code, 0 when the whole file was read
  std::string error;
  std::vector<Var> vars;
  std::vector<std::vector<Cell>> rows;
  std::vector<std::string> log;
};

// Path of a fixture under tests/fixtures.
inline std::string fixture(const std::string& relative) { return std::string(TABULON_TEST_DATA) + "/" + relative; }

inline json expected(const std::string& data_path) {
  std::ifstream in(data_path + ".expected.json");
  if (!in) return json();
  return json::parse(in);
}

namespace detail {
inline void on_log(int32_t, const char* text, int32_t, int64_t user) {
  reinterpret_cast<Read*>(user)->log.emplace_back(text ? text : "");
}
}  // namespace detail

// Reads the whole file. `setup` runs after the input is opened, before the dictionary is read
// (select a member, set options).
inline Read read(int32_t format_code, const std::string& path,
                 const std::function<void(int32_t handle)>& setup = {}) {
  Read r;
  const int32_t h = DX_OpenEnvironment();
  tabulon::EnvRecord* env = tabulon::env_from_handle(h);
  const uint32_t masks[4] = {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu};
  DX_SetInfoCallback(h, -1, masks, 0, reinterpret_cast<int64_t>(&r), detail::on_log);
  auto fail = [&](int32_t rc) {
    r.rc = rc;
    const char* m = DX_GetErrorMsg(h);
    r.error = m ? m : "";
  };
  int32_t rc = DX_OpenInputFile(h, format_code, path.c_str());
  if (rc >= 0 && setup) setup(h);
  if (rc >= 0) rc = DX_ReadDict(h);
  if (rc >= 0) rc = DX_InitReadOnly(h);
  if (rc < 0) {
    fail(rc);
  } else {
    for (const auto& v : env->dict.vars) r.vars.push_back({v->name, v->label, v->native_format, v->ttype});
    for (;;) {
      rc = DX_ReadRecord(h);
      if (rc == -1) break;
      if (rc < 0) {
        fail(rc);
        break;
      }
      std::vector<Cell> row;
      row.reserve(env->dict.vars.size());
      for (const auto& v : env->dict.vars) {
        Cell c;
        c.missing = v->missing;
        if (!c.missing) {
          if (v->is_string())
            c.text = tabulon::var_get_string(env->dict, *v);
          else
            c.number = tabulon::var_get_double(env->dict, *v);
        }
        row.push_back(std::move(c));
      }
      r.rows.push_back(std::move(row));
    }
  }
  DX_CloseFiles(h);
  DX_CloseEnvironment(h);
  return r;
}

inline const char* kind_of(int ttype) {
  switch (ttype) {
    case T_STRING: return "string";
    case T_DATE: return "date";
    case T_TIME: return "time";
    case T_DATETIME: return "datetime";
    default: return "numeric";
  }
}

// Day number (days since 30 December 1899) of a civil date.
inline double day_number(int y, int m, int d) {
  y -= m <= 2;
  const int era = (y >= 0 ? y : y - 399) / 400;
  const int yoe = y - era * 400;
  const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097.0 + doe - 719468 + 25569;  // days since 1970-01-01, moved to 1899-12-30
}

// "YYYY-MM-DD", "YYYY-MM-DDTHH:MM:SS[.f]" or "[-]HH:MM:SS[.f]" as a day number; NaN otherwise.
inline double parse_when(const std::string& s) {
  int y, mo, d, n = 0;
  double seconds = 0;
  auto clock = [&](const char* p, double& out) {
    bool neg = *p == '-';
    if (neg) ++p;
    int hh, mm, k = 0;
    double ss;
    if (std::sscanf(p, "%d:%d:%lf%n", &hh, &mm, &ss, &k) != 3 || p[k]) return false;
    out = (hh * 3600.0 + mm * 60.0 + ss) * (neg ? -1 : 1);
    return true;
  };
  if (std::sscanf(s.c_str(), "%d-%d-%d%n", &y, &mo, &d, &n) == 3 && s.size() >= 10 && s[4] == '-') {
    double day = day_number(y, mo, d);
    if (s[n] == 0) return day;
    // Before 30 December 1899 the time of day is taken away from the (negative) day.
    if (s[n] == 'T' && clock(s.c_str() + n + 1, seconds)) return day + (day < 0 ? -1 : 1) * seconds / 86400.0;
    return NAN;
  }
  if (clock(s.c_str(), seconds)) return seconds / 86400.0;
  return NAN;
}

inline std::string rtrim(std::string s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  return s;
}

inline std::string show(const Cell& c, int ttype) {
  if (c.missing) return c.missing == 1 ? "." : tabulon::missing_code_text(c.missing);
  if (ttype == T_STRING) return "\"" + c.text + "\"";
  char b[40];
  std::snprintf(b, sizeof b, "%.17g", c.number);
  return b;
}

// Compares one cell with its expected value; empty when they agree.
inline std::string compare_cell(const Cell& c, int ttype, const json& e) {
  auto differ = [&]() { return "expected " + e.dump() + ", read " + show(c, ttype); };
  if (e.is_null()) {
    // System missing; readers that know no special missing values show those as null too.
    if (c.missing || (ttype == T_STRING && rtrim(c.text).empty())) return {};
    return differ();
  }
  if (e.is_object() && e.contains("missing")) {
    std::string tag = e["missing"].get<std::string>();
    std::string ours = c.missing > 1 ? tabulon::missing_code_text(c.missing) : "";
    auto lower = [](std::string s) {
      for (auto& ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
      return s;
    };
    return lower(ours) == "." + lower(tag) ? std::string() : differ();
  }
  if (e.is_object() && e.contains("error")) return {};  // error cells: any reading will do
  if (c.missing) {
    // Readers of text-like sources keep an empty string as a missing value.
    if (ttype == T_STRING && e.is_string() && rtrim(e.get<std::string>()).empty()) return {};
    return differ();
  }
  if (e.is_boolean()) {
    if (ttype == T_STRING) return c.text == (e.get<bool>() ? "TRUE" : "FALSE") ? std::string() : differ();
    return c.number == (e.get<bool>() ? 1 : 0) ? std::string() : differ();
  }
  if (e.is_number()) {
    const double x = e.get<double>();
    if (ttype == T_STRING) {
      double y;
      return std::sscanf(c.text.c_str(), "%lf", &y) == 1 && y == x ? std::string() : differ();
    }
    return c.number == x || std::fabs(c.number - x) <= 1e-15 * std::fabs(x) ? std::string() : differ();
  }
  const std::string s = e.get<std::string>();
  if (ttype == T_STRING) return rtrim(c.text) == rtrim(s) ? std::string() : differ();
  const double when = parse_when(s);
  if (std::isnan(when)) {
    double y;
    return std::sscanf(s.c_str(), "%lf", &y) == 1 && y == c.number ? std::string() : differ();
  }
  // Within ten microseconds: a day number near 40,000 holds about a microsecond of precision.
  return std::fabs(c.number - when) * 86400.0 <= 1e-5 ? std::string() : differ();
}

struct CompareOptions {
  bool names = true, labels = true, kinds = true;
  size_t max_differences = 20;
};

// Every difference between what was read and the expected contents, as readable lines.
inline std::vector<std::string> compare(const Read& r, const json& e, const CompareOptions& o = {}) {
  std::vector<std::string> out;
  auto add = [&](std::string line) {
    if (out.size() < o.max_differences) out.push_back(std::move(line));
  };
  if (r.rc < 0) add("read failed (" + std::to_string(r.rc) + "): " + r.error);
  const json& vars = e["variables"];
  if (vars.size() != r.vars.size())
    add("variables: expected " + std::to_string(vars.size()) + ", read " + std::to_string(r.vars.size()));
  const size_t nv = std::min<size_t>(vars.size(), r.vars.size());
  for (size_t k = 0; k < nv; ++k) {
    const json& ev = vars[k];
    const Var& v = r.vars[k];
    const std::string where = "variable " + std::to_string(k) + " [" + v.name + "]";
    if (o.names && ev.value("name", "") != v.name) add(where + ": name, expected " + ev["name"].dump());
    const std::string label = ev["label"].is_string() ? ev["label"].get<std::string>() : "";
    if (o.labels && rtrim(label) != rtrim(v.label)) add(where + ": label \"" + v.label + "\", expected \"" + label + "\"");
    if (o.kinds && ev.value("kind", "") != kind_of(v.ttype))
      add(where + ": kind " + kind_of(v.ttype) + ", expected " + ev["kind"].dump());
  }
  const json& rows = e["rows"];
  const size_t n_rows = e.contains("n_rows") && e["n_rows"].is_number() ? e["n_rows"].get<size_t>() : rows.size();
  if (n_rows != r.rows.size())
    add("rows: expected " + std::to_string(n_rows) + ", read " + std::to_string(r.rows.size()));
  const size_t nr = std::min<size_t>(rows.size(), r.rows.size());
  for (size_t i = 0; i < nr; ++i)
    for (size_t k = 0; k < nv && k < rows[i].size(); ++k) {
      std::string d = compare_cell(r.rows[i][k], r.vars[k].ttype, rows[i][k]);
      if (!d.empty()) add("row " + std::to_string(i) + " [" + r.vars[k].name + "]: " + d);
    }
  return out;
}

inline std::string joined(const std::vector<std::string>& lines) {
  std::string s;
  for (const auto& l : lines) s += "  " + l + "\n";
  return s;
}

}  // namespace corpus
