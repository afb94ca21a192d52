// A tiny format registered only by the engine tests, so the pipeline can be driven
// end to end without any real format.
//
// File layout: the first line names the variables, blank-separated ("$name" is a
// string); each further line is one case, "." a missing value.
#pragma once

#include <unistd.h>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "api/raise.h"
#include "dict/dictionary.h"
#include "engine/format_hooks.h"
#include "engine/format_registry.h"
#include "io/stream.h"
#include "tabulon/tabulon.h"

namespace linefmt {

using namespace tabulon;

// Knobs the tests turn.
inline uint32_t g_announce = 0;      // announced case count
inline int g_fail_read_at = 0;       // raise while reading this case (1-based)
inline bool g_fail_writer_open = false;
inline std::vector<std::string> g_members;  // member names offered (members test)

inline bool read_line(Stream* s, std::string& line) {
  line.clear();
  int c;
  bool any = false;
  while ((c = StreamGetc(s)) != -1) {
    any = true;
    if (c == '\n') return true;
    line += static_cast<char>(c);
  }
  return any;
}

inline std::vector<std::string> split(const std::string& line) {
  std::vector<std::string> out;
  std::istringstream in(line);
  std::string w;
  while (in >> w) out.push_back(w);
  return out;
}

struct ReaderState : FormatState {
  int cases = 0;
};

inline int32_t read_dict(EnvRecord& env) {
  make_reader_state<ReaderState>(env);
  std::string line;
  if (!read_line(env.transfer.input_stream.get(), line)) return -1;
  for (const std::string& w : split(line)) {
    bool str = w[0] == '$';
    VarRecord& v = dict_append_var(env.dict, str ? w.substr(1) : w, str ? T_STRING : T_DOUBLE, str ? 16 : 8);
    v.selected = 1;
    v.decimals = 2;
  }
  env.transfer.announced_cases = g_announce;
  return env.dict.count();
}

inline int32_t read_case(EnvRecord& env) {
  ReaderState* st = reader_state<ReaderState>(env);
  std::string line;
  if (!read_line(env.transfer.input_stream.get(), line)) return kEndOfData;
  if (++st->cases == g_fail_read_at) RaiseErrorF(env, "Test reader stopped at case %d", st->cases);
  std::vector<std::string> words = split(line);
  for (int32_t k = 0; k < env.dict.count() && k < static_cast<int32_t>(words.size()); ++k) {
    VarRecord& v = *dict_var(env.dict, k);
    if (!v.selected) continue;
    const std::string& w = words[static_cast<size_t>(k)];
    if (w == ".") {
      var_set_missing(env.dict, v);
    } else if (v.is_string()) {
      var_set_string(env.dict, v, w);
    } else {
      double x = 0;
      std::from_chars(w.data(), w.data() + w.size(), x);
      var_set_double(env.dict, v, x);
    }
  }
  return kCaseRead;
}

inline int32_t read_members(EnvRecord& env) {
  env.transfer.members = g_members;
  return static_cast<int32_t>(g_members.size());
}

inline int32_t select_member(EnvRecord&, int32_t) { return 0; }

inline void put(Stream* s, const std::string& text) {
  StreamWrite(s, text.data(), static_cast<int32_t>(text.size()));
}

inline int32_t writer_open(EnvRecord& env) {
  if (g_fail_writer_open) return 1;
  std::string header;
  for (auto& v : env.dict.vars) {
    if (!v->selected) continue;
    if (!header.empty()) header += ' ';
    header += (v->is_string() ? "$" : "") + v->name;
  }
  put(env.transfer.output_stream.get(), header + "\n");
  return 0;
}

inline int32_t write_case(EnvRecord& env) {
  std::string line;
  for (auto& vp : env.dict.vars) {
    const VarRecord& v = *vp;
    if (!v.selected) continue;
    if (!line.empty()) line += ' ';
    if (var_missing(v) != kValuePresent) {
      line += '.';
    } else if (v.is_string()) {
      line += var_get_string(env.dict, v);
    } else {
      char buf[32];
      auto r = std::to_chars(buf, buf + sizeof buf, var_get_double(env.dict, v));
      line.append(buf, r.ptr);
    }
  }
  put(env.transfer.output_stream.get(), line + "\n");
  return 0;
}

inline const FormatReaderOps kReader = {
    .flags = 0, .open = nullptr, .read_dict = read_dict, .read_case = read_case,
    .save_position = nullptr, .restore_position = nullptr, .read_members = nullptr,
    .select_member = nullptr, .close = nullptr};
inline const FormatReaderOps kMemberReader = {
    .flags = 0, .open = nullptr, .read_dict = read_dict, .read_case = read_case,
    .save_position = nullptr, .restore_position = nullptr, .read_members = read_members,
    .select_member = select_member, .close = nullptr};
inline const FormatWriterOps kWriter = {
    .flags = 0, .open = writer_open, .write_case = write_case, .close = nullptr};

// Codes the tests borrow; their real formats are not built here.
constexpr int32_t kIn = 9;    // Gauss
constexpr int32_t kOut = 32;  // Epi Info
constexpr int32_t kMemberIn = 12;  // SAS transport: a member format

// Registers the line format for the life of a test and restores the table after.
struct Registered {
  FormatEntry in_before, out_before, member_before;
  Registered() {
    in_before = format_set_ops(kIn, &kReader, nullptr);
    out_before = format_set_ops(kOut, nullptr, &kWriter);
    member_before = format_set_ops(kMemberIn, &kMemberReader, nullptr);
    g_announce = 0;
    g_fail_read_at = 0;
    g_fail_writer_open = false;
    g_members.clear();
  }
  ~Registered() {
    format_set_ops(kIn, in_before.reader, in_before.writer);
    format_set_ops(kOut, out_before.reader, out_before.writer);
    format_set_ops(kMemberIn, member_before.reader, member_before.writer);
  }
};

inline std::string temp_path(const std::string& name) {
  return std::string(::testing::TempDir()) + "tabulon_engine_" + std::to_string(::getpid()) + "_" + name;
}

inline void write_file(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// "x $s" header and n cases: x = 1..n, s = "s<i>".
inline std::string cases_file(int n) {
  std::string text = "x $s\n";
  for (int i = 1; i <= n; ++i) text += std::to_string(i) + " s" + std::to_string(i) + "\n";
  return text;
}

}  // namespace linefmt
