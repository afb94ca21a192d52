// What the format tests share: an environment, scratch files, cases written through a writer's
// entry points, and cases read back through the public API.
#pragma once

#include <unistd.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "api/call_frame.h"
#include "api/env_record.h"
#include "dict/dictionary.h"
#include "engine/stream_glue.h"
#include "tabulon/tabulon.h"

namespace tabulon::test {

// An environment for one test; with `keep_log` every message is kept for `logged`.
struct TestEnv {
  int32_t handle;
  EnvRecord* env;
  std::vector<std::string> log;
  explicit TestEnv(bool keep_log = false) : handle(DX_OpenEnvironment()), env(env_from_handle(handle)) {
    if (!keep_log) return;
    const uint32_t masks[4] = {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu};
    DX_SetInfoCallback(handle, -1, masks, 0, reinterpret_cast<int64_t>(this), on_log);
  }
  ~TestEnv() { DX_CloseEnvironment(handle); }
  TestEnv(const TestEnv&) = delete;
  TestEnv& operator=(const TestEnv&) = delete;
  bool logged(const std::string& text) const {
    for (const auto& l : log)
      if (l.find(text) != std::string::npos) return true;
    return false;
  }

 private:
  static void on_log(int32_t, const char* text, int32_t, int64_t user) {
    reinterpret_cast<TestEnv*>(user)->log.emplace_back(text);
  }
};

// A file in the test's scratch folder, unique to this process: PREFIX_PID_NAME.EXT.
inline std::string scratch_path(const std::string& prefix, const std::string& name, const std::string& ext) {
  return std::string(::testing::TempDir()) + prefix + "_" + std::to_string(::getpid()) + "_" + name + ext;
}

inline std::string slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

inline void spill(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// One value of a case: a number, a text, or a missing code.
struct Cell {
  double num = 0;
  std::string text;
  uint16_t missing = 0;
  bool is_text = false;
};
inline Cell N(double x) { return Cell{x, {}, 0, false}; }
inline Cell S(std::string s) { return Cell{0, std::move(s), 0, true}; }
inline Cell M(uint16_t code) { return Cell{0, {}, code, false}; }

struct Spec {
  std::string name;
  int ttype;
  uint32_t width = 8;
  std::string label = {};
};

using Setup = std::function<void(EnvRecord&)>;

// A writer's entry points and its format code.
struct WriterEntry {
  int32_t code;
  int32_t (*open)(EnvRecord&);
  int32_t (*write_case)(EnvRecord&);
  int32_t (*close)(EnvRecord&);
};

// Writes the cases through the writer's entry points: 0, -2 when the writer does not open,
// -3 when a case fails, else what closing returns (the message is in the environment).
inline int32_t write_cases(int32_t handle, const WriterEntry& writer, const std::string& path,
                           const std::vector<Spec>& specs, const std::vector<std::vector<Cell>>& rows,
                           const Setup& setup = nullptr) {
  return call_frame(handle, -1, [&](EnvRecord& env) -> int32_t {
    dict_clear(env.dict);
    for (const Spec& s : specs) {
      VarRecord& v = dict_append_var(env.dict, s.name, s.ttype, s.width);
      v.selected = 1;
      if (!s.label.empty()) var_set_label(v, s.label);
    }
    if (setup) setup(env);
    dict_layout_record(env);
    env.transfer.output_code = writer.code;
    env.transfer.output_path = path;
    env.transfer.output_stream = engine_open_write(env, path, "wb", 8192);
    struct Reset {
      EnvRecord& env;
      ~Reset() {
        env.transfer.output_stream.reset();
        env.transfer.writer_state.reset();
        env.transfer.input_code = 0;
      }
    } reset{env};
    if (writer.open(env) != 0) return -2;
    for (const auto& row : rows) {
      dict_clear_record(env.dict);
      for (size_t i = 0; i < row.size(); ++i) {
        VarRecord& v = *dict_var(env.dict, static_cast<int32_t>(i));
        if (row[i].missing)
          var_set_missing(env.dict, v, row[i].missing);
        else if (row[i].is_text)
          var_set_string(env.dict, v, row[i].text);
        else
          var_set_double(env.dict, v, row[i].num);
      }
      if (writer.write_case(env) != 0) return -3;
    }
    return writer.close(env);
  });
}

struct ReadBack {
  int32_t rc = 0;
  std::string error;
  std::vector<const VarRecord*> vars;
  std::vector<std::vector<std::string>> rows;
};

// How a test shows one value it read.
using ShowValue = std::string (*)(const EnvRecord&, const VarRecord&);

// Opens the file, chooses a member by name when one is given, reads the dictionary and up to
// max_rows cases through the public entry points (the dictionary stays open for inspection).
// after_dict runs once the dictionary is read (to set options that apply to the cases).
inline ReadBack read_cases(TestEnv& e, int32_t code, const std::string& path, ShowValue show,
                           const char* member = nullptr, size_t max_rows = 100000,
                           const std::function<void()>& after_dict = nullptr) {
  ReadBack r;
  r.rc = DX_OpenInputFile(e.handle, code, path.c_str());
  if (r.rc >= 0 && member) r.rc = DX_SetMember(e.handle, member);
  if (r.rc >= 0) r.rc = DX_ReadDict(e.handle);
  if (r.rc >= 0 && after_dict) after_dict();
  if (r.rc >= 0) r.rc = DX_InitReadOnly(e.handle);
  if (r.rc < 0) {
    r.error = DX_GetErrorMsg(e.handle);
    return r;
  }
  for (auto& v : e.env->dict.vars) r.vars.push_back(v.get());
  while (r.rows.size() < max_rows) {
    const int32_t rc = DX_ReadRecord(e.handle);
    if (rc == -1) break;
    if (rc < 0) {
      r.rc = rc;
      r.error = DX_GetErrorMsg(e.handle);
      break;
    }
    std::vector<std::string> row;
    for (const VarRecord* v : r.vars) row.push_back(show(*e.env, *v));
    r.rows.push_back(row);
  }
  return r;
}

// What an optimization pass chose for each dictionary variable once it ended, and how many
// cases the transfer after it moved.
struct PassChoices {
  std::vector<int32_t> types, widths, selected;
  int32_t moved = 0;
};

// Two passes chose the same types, widths and selection.
inline void expect_same_choices(const PassChoices& a, const PassChoices& b) {
  EXPECT_EQ(a.types, b.types);
  EXPECT_EQ(a.widths, b.widths);
  EXPECT_EQ(a.selected, b.selected);
}

// Records the choices of the pass just ended; with `transfer`, moves the cases to a Stata file
// at `scratch` (removed again) and closes the files.
inline void take_pass_choices(int32_t handle, PassChoices& c, bool transfer, const std::string& scratch) {
  const DictState& dict = env_from_handle(handle)->dict;
  for (int32_t k = 0; k < dict_count(dict); ++k) {
    const VarRecord& v = *dict_var(dict, k);
    c.types.push_back(v.ttype);
    c.widths.push_back(static_cast<int32_t>(v.output_width));
    c.selected.push_back(DX_GetVarSelect(handle, k));
  }
  if (!transfer) return;
  std::remove(scratch.c_str());
  EXPECT_GE(DX_OpenOutFile(handle, 14, scratch.c_str()), 0) << DX_GetErrorMsg(handle);
  c.moved = DX_TransferAllRecords(handle);
  EXPECT_EQ(DX_CloseFiles(handle), 0) << DX_GetErrorMsg(handle);
  std::remove(scratch.c_str());
}

}  // namespace tabulon::test
