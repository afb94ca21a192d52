// Exported functions over the extended attributes of a variable and of the data set.
#include "api/call_frame.h"
#include "api/env_record.h"
#include "dict/dict_frame.h"
#include "dict/dictionary.h"

using namespace tabulon;

namespace {

enum : int32_t {
  kAttrOk = 0,
  kAttrNoOutput = -2,
  kAttrNoList = -3,
  kAttrEmptyName = -4,
  kAttrNoName = -5,
  kAttrBeyond = -6,
  kAttrNoVariable = -7,
};

// Frame of the variable forms: -1 for a handle above the table, -2 without a record.
template <class Body>
int32_t var_attr_frame(int32_t handle, int32_t var, const void* out, Body&& body) {
  return dict_frame(handle, -1, kAttrNoOutput, kAttrNoOutput, [&](EnvRecord& e) -> int32_t {
    if (!out) return kAttrNoOutput;
    VarRecord* v = dict_var(e.dict, var);
    if (!v) return kAttrNoVariable;
    return body(v->ext_attrs);
  });
}

// Frame of the data-set forms: -1 for a handle above the table, -2 for a null output.
template <class Body>
int32_t set_attr_frame(int32_t handle, const void* out, Body&& body) {
  return dict_frame(handle, -1, kAttrNoOutput, kAttrNoOutput, [&](EnvRecord& e) -> int32_t {
    if (!out) return kAttrNoOutput;
    return body(e.dict.dataset_attrs);
  });
}

// The k-th node or an error code.
int32_t node(const ExtAttrList& list, int32_t k, const ExtAttr** out) {
  if (!list.exists) return kAttrNoList;
  if (k < 0 || static_cast<size_t>(k) >= list.items.size()) return kAttrBeyond;
  *out = &list.items[static_cast<size_t>(k)];
  return kAttrOk;
}

int32_t count_of(const ExtAttrList& list, int32_t* count) {
  if (!list.exists) return kAttrNoList;
  *count = static_cast<int32_t>(list.items.size());
  return kAttrOk;
}

int32_t name_of(const ExtAttrList& list, int32_t k, const char** name, int32_t* length) {
  const ExtAttr* a = nullptr;
  if (int32_t r = node(list, k, &a)) return r;
  if (!a->has_name) return kAttrNoName;
  if (a->name.empty()) return kAttrEmptyName;
  *name = a->name.c_str();
  if (length) *length = static_cast<int32_t>(a->name.size());
  return kAttrOk;
}

int32_t type_of(const ExtAttrList& list, int32_t k, int32_t* type) {
  const ExtAttr* a = nullptr;
  if (int32_t r = node(list, k, &a)) return r;
  *type = static_cast<int32_t>(a->type);
  return kAttrOk;
}

int32_t text_of(const ExtAttrList& list, int32_t k, const char** value, int32_t* length) {
  const ExtAttr* a = nullptr;
  if (int32_t r = node(list, k, &a)) return r;
  if (!a->has_text) return kAttrNoName;
  *value = a->text.c_str();
  if (length) *length = static_cast<int32_t>(a->text.size());
  return kAttrOk;
}

int32_t number_of(const ExtAttrList& list, int32_t k, double* value) {
  const ExtAttr* a = nullptr;
  if (int32_t r = node(list, k, &a)) return r;
  *value = a->number;
  return kAttrOk;
}

}  // namespace

DX_EXPORT int32_t DX_GetVarExtAttrCount(int32_t env, int32_t var, int32_t* count) {
  return var_attr_frame(env, var, count, [&](ExtAttrList& l) { return count_of(l, count); });
}

DX_EXPORT int32_t DX_GetVarExtAttrName(int32_t env, int32_t var, int32_t k, const char** name, int32_t* length) {
  return var_attr_frame(env, var, name, [&](ExtAttrList& l) { return name_of(l, k, name, length); });
}

DX_EXPORT int32_t DX_GetVarExtAttrType(int32_t env, int32_t var, int32_t k, int32_t* type) {
  return var_attr_frame(env, var, type, [&](ExtAttrList& l) { return type_of(l, k, type); });
}

DX_EXPORT int32_t DX_GetVarExtAttrStrValue(int32_t env, int32_t var, int32_t k, const char** value,
                                           int32_t* length) {
  return var_attr_frame(env, var, value, [&](ExtAttrList& l) { return text_of(l, k, value, length); });
}

DX_EXPORT int32_t DX_GetVarExtAttrNumValue(int32_t env, int32_t var, int32_t k, double* value) {
  return var_attr_frame(env, var, value, [&](ExtAttrList& l) { return number_of(l, k, value); });
}

DX_EXPORT int32_t DX_GetDatasetExtAttrCount(int32_t env, int32_t* count) {
  return set_attr_frame(env, count, [&](ExtAttrList& l) { return count_of(l, count); });
}

DX_EXPORT int32_t DX_GetDatasetExtAttrName(int32_t env, int32_t k, const char** name, int32_t* length) {
  return set_attr_frame(env, name, [&](ExtAttrList& l) { return name_of(l, k, name, length); });
}

DX_EXPORT int32_t DX_GetDatasetExtAttrType(int32_t env, int32_t k, int32_t* type) {
  return set_attr_frame(env, type, [&](ExtAttrList& l) { return type_of(l, k, type); });
}

DX_EXPORT int32_t DX_GetDatasetExtAttrStrValue(int32_t env, int32_t k, const char** value, int32_t* length) {
  return set_attr_frame(env, value, [&](ExtAttrList& l) { return text_of(l, k, value, length); });
}

DX_EXPORT int32_t DX_GetDatasetExtAttrNumValue(int32_t env, int32_t k, double* value) {
  return set_attr_frame(env, value, [&](ExtAttrList& l) { return number_of(l, k, value); });
}
