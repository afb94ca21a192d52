// Per-environment state of this subsystem, held by value inside EnvRecord.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dict/var_record.h"

namespace tabulon {

struct EnvRecord;

struct DictState {
  // The dictionary in input order. Records are owned here and keep their address
  // until the dictionary is cleared.
  std::vector<std::unique_ptr<VarRecord>> vars;
  ExtAttrList dataset_attrs;      // attributes of the data set
  std::string file_label;         // label of the input file, set by readers
  bool has_file_label = false;
  int64_t reader_count = 0;       // a count the reader announces (DX_GetDatasetInfo 0)
  bool value_labels_present = false;
  int32_t current_labels_var = -1;  // variable chosen by DX_GetNValueLabels/DX_SetNValueLabels
  bool user_dict = false;         // the host built the dictionary (DX_InitUserDict/DX_DefineAsciiVar)
  bool pool_in_use = false;       // an input or user dictionary was started

  // Fixed-column text definitions made through DX_DefineAsciiVar.
  bool ascii_defining = false;
  bool ascii_finished = false;
  uint32_t ascii_max_column = 0;
  uint16_t ascii_max_record = 0;
  std::vector<char> ascii_line;   // line buffer of the fixed-column reader

  // The record buffer: 8-byte aligned storage, record_length bytes.
  std::unique_ptr<uint64_t[]> record_store;
  uint32_t record_length = 0;
  int32_t laid_out_count = 0;
  int32_t string_count = 0;
  int32_t numeric_count = 0;
  bool any_var_label = false;

  uint8_t* record() { return reinterpret_cast<uint8_t*>(record_store.get()); }
  const uint8_t* record() const { return reinterpret_cast<const uint8_t*>(record_store.get()); }
  bool has_record() const { return record_store != nullptr; }
  int32_t count() const { return static_cast<int32_t>(vars.size()); }
};

// Called by DX_OpenEnvironmentEx after the record exists, and by DX_CloseEnvironment
// before it is freed. A failed open raises nothing: it returns false.
bool dict_env_open(EnvRecord& env, int32_t flags);
void dict_env_close(EnvRecord& env);

}  // namespace tabulon
