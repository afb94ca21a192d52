#include "engine/db_format.h"

#include <cstring>
#include <string>

#include "api/option_slots.h"
#include "api/raise.h"
#include "dict/dictionary.h"
#include "engine/db_driver.h"
#include "engine/format_registry.h"

namespace tabulon {

namespace {

EnvRecord& env_of(TabulonDriverContext* ctx) { return *env_from_handle(ctx->env); }

DriverSlot& slot_of(TabulonDriverContext* ctx) {
  EnvRecord& env = env_of(ctx);
  return ctx->side == kDriverSideOutput ? *env.transfer.output_driver : *env.transfer.input_driver;
}

// The variable a driver means by k: on the input side the k-th of the dictionary (the
// columns it added, whatever is selected later; null once dropped), on the output side the k-th selected, as
// listed when the output was opened.
VarRecord* var_at(TabulonDriverContext* ctx, EnvRecord& env, int32_t k) {
  if (k < 0) return nullptr;
  if (ctx->side == kDriverSideOutput) {
    const auto& written = slot_of(ctx).written;
    return static_cast<size_t>(k) < written.size() ? written[static_cast<size_t>(k)] : nullptr;
  }
  if (k >= env.dict.count()) return nullptr;
  VarRecord* v = env.dict.vars[static_cast<size_t>(k)].get();
  return v->selected ? v : nullptr;  // a dropped variable has no place in the record
}

void list_selected(EnvRecord& env, DriverSlot& slot) {
  slot.written.clear();
  for (auto& v : env.dict.vars)
    if (v->selected) slot.written.push_back(v.get());
}

int32_t svc_add_table(TabulonDriverContext* ctx, const char* name) {
  if (!name) return -1;
  DriverSlot& slot = slot_of(ctx);
  slot.tables.emplace_back(name);
  return static_cast<int32_t>(slot.tables.size());
}

int32_t svc_add_source(TabulonDriverContext* ctx, const char* name, const char* description) {
  if (!name) return -1;
  DriverSlot& slot = slot_of(ctx);
  slot.sources.push_back({name, description ? description : ""});
  return static_cast<int32_t>(slot.sources.size());
}

int32_t svc_add_var(TabulonDriverContext* ctx, const char* name, int32_t type, int32_t width, int32_t decimals) {
  int ttype;
  switch (type) {
    case API_NUMERIC: ttype = T_DOUBLE; break;
    case API_STRING: ttype = T_STRING; break;
    case API_DATE: ttype = T_DATE; break;
    case API_TIME: ttype = T_TIME; break;
    case API_DATETIME: ttype = T_DATETIME; break;
    default: return -1;
  }
  if (!name || width < 0) return -1;
  EnvRecord& env = env_of(ctx);
  VarRecord& v = dict_append_var(env.dict, name, ttype, static_cast<uint32_t>(width));
  v.decimals = decimals < 0 || decimals > 254 ? 0 : static_cast<uint8_t>(decimals);
  v.selected = 1;
  return env.dict.count() - 1;
}

void svc_announce(TabulonDriverContext* ctx, uint32_t count) { env_of(ctx).transfer.announced_cases = count; }

int32_t svc_var_count(TabulonDriverContext* ctx) {
  if (ctx->side == kDriverSideOutput) return static_cast<int32_t>(slot_of(ctx).written.size());
  return env_of(ctx).dict.count();
}
const char* svc_var_name(TabulonDriverContext* ctx, int32_t k) {
  VarRecord* v = var_at(ctx, env_of(ctx), k);
  return v ? v->name.c_str() : nullptr;
}
int32_t svc_var_type(TabulonDriverContext* ctx, int32_t k) {
  VarRecord* v = var_at(ctx, env_of(ctx), k);
  return v ? v->ttype : -1;
}
int32_t svc_var_width(TabulonDriverContext* ctx, int32_t k) {
  VarRecord* v = var_at(ctx, env_of(ctx), k);
  return v ? static_cast<int32_t>(v->output_width ? v->output_width : v->print_width) : -1;
}
int32_t svc_get_double(TabulonDriverContext* ctx, int32_t k, double* out) {
  EnvRecord& env = env_of(ctx);
  VarRecord* v = var_at(ctx, env, k);
  if (!v || !out || !env.dict.has_record() || v->is_string()) return -1;
  *out = var_get_double(env.dict, *v);
  return var_missing(*v);
}
int32_t svc_get_string(TabulonDriverContext* ctx, int32_t k, const char** out) {
  EnvRecord& env = env_of(ctx);
  VarRecord* v = var_at(ctx, env, k);
  if (!v || !out || !env.dict.has_record() || !v->is_string()) return -1;
  *out = var_get_string(env.dict, *v);
  return var_missing(*v);
}
void svc_set_double(TabulonDriverContext* ctx, int32_t k, double value) {
  EnvRecord& env = env_of(ctx);
  VarRecord* v = var_at(ctx, env, k);
  if (v && env.dict.has_record() && !v->is_string()) var_set_double(env.dict, *v, value);
}
void svc_set_string(TabulonDriverContext* ctx, int32_t k, const char* text) {
  EnvRecord& env = env_of(ctx);
  VarRecord* v = var_at(ctx, env, k);
  if (v && text && env.dict.has_record() && v->is_string()) var_set_string(env.dict, *v, text, std::strlen(text));
}
void svc_set_missing(TabulonDriverContext* ctx, int32_t k, int32_t code) {
  EnvRecord& env = env_of(ctx);
  VarRecord* v = var_at(ctx, env, k);
  if (v && env.dict.has_record() && code >= 1 && code <= kLastMissingCode)
    var_set_missing(env.dict, *v, static_cast<uint16_t>(code));
}

void svc_note_unreadable(TabulonDriverContext* ctx, int32_t k, int64_t count) {
  EnvRecord& env = env_of(ctx);
  if (VarRecord* v = var_at(ctx, env, k)) note_change(env, ChangeKind::Unreadable, v->name, count);
}

int32_t svc_option(TabulonDriverContext* ctx, int32_t number) { return option_int(env_of(ctx), number); }

// As with files: an existing table is replaced only when the host agrees.
int32_t svc_confirm_replace(TabulonDriverContext* ctx, const char* table) {
  EnvRecord& env = env_of(ctx);
  if (!env.confirm_callback || !(env.confirm_flags & 1)) return 1;
  return env.confirm_callback(1, table ? table : "", 0, env.confirm_user_data) != 0 ? 1 : 0;
}

}  // namespace

void db_fill_context(EnvRecord& env, DriverSlot& slot, int32_t code, const std::string& path) {
  TabulonDriverContext& c = slot.context;
  c.format_code = code;
  c.wide = slot.wide;
  slot.path = path;
  c.path = slot.path.c_str();
  for (int i = 0; i < kDriverParmCount; ++i) c.parms[i] = slot.parms[i].empty() ? nullptr : slot.parms[i].c_str();
  c.add_table = svc_add_table;
  c.add_source = svc_add_source;
  c.add_var = svc_add_var;
  c.announce_cases = svc_announce;
  c.var_count = svc_var_count;
  c.var_name = svc_var_name;
  c.var_type = svc_var_type;
  c.var_width = svc_var_width;
  c.get_double = svc_get_double;
  c.get_string = svc_get_string;
  c.set_double = svc_set_double;
  c.set_string = svc_set_string;
  c.set_missing = svc_set_missing;
  c.option = svc_option;
  c.confirm_replace = svc_confirm_replace;
  c.note_unreadable = svc_note_unreadable;
  c.failed = 0;
  (void)env;
}

namespace {

// The driver's text becomes the message; `fallback` when it left none.
[[noreturn]] void raise_driver(EnvRecord& env, const char* fallback) {
  if (env.driver_message[0]) {
    env.message = env.driver_message;
    throw RaisedError();
  }
  RaiseError(env, fallback, nullptr);
}

DriverSlot& input_slot(EnvRecord& env) { return *env.transfer.input_driver; }

int32_t db_open(EnvRecord& env) {
  int32_t number = db_driver_number(env.transfer.input_code);
  DriverSlot& slot = driver_load(env, kDriverSideInput, number);
  db_fill_context(env, slot, env.transfer.input_code, env.transfer.input_path);
  slot.tables.clear();
  slot.context.table = nullptr;
  if (slot.open_db(&slot.context) <= 0) raise_driver(env, "Error opening database file");
  return 0;
}

int32_t db_read_members(EnvRecord& env) {
  DriverSlot& slot = input_slot(env);
  env.transfer.members = slot.tables;
  return static_cast<int32_t>(env.transfer.members.size());
}

int32_t db_select_member(EnvRecord& env, int32_t index) {
  DriverSlot& slot = input_slot(env);
  if (index < 0 || index >= static_cast<int32_t>(env.transfer.members.size())) return -1;
  slot.context.table = env.transfer.members[static_cast<size_t>(index)].c_str();
  return 0;
}

int32_t db_read_dict(EnvRecord& env) {
  DriverSlot& slot = input_slot(env);
  if (!slot.read_dict || slot.read_dict(&slot.context) <= 0) raise_driver(env, "Error opening database file");
  return env.dict.count();
}

int32_t db_read_case(EnvRecord& env) {
  DriverSlot& slot = input_slot(env);
  if (!slot.rd_data) return kEndOfData;
  env.message = env.driver_message;
  int32_t r = slot.rd_data(&slot.context);
  if (r == 0) env.message = "";
  return r;
}

// A pass over the data (the optimization pass) reads the table again from its first row.
int32_t db_save_position(EnvRecord&) { return 0; }
int32_t db_restore_position(EnvRecord& env) {
  DriverSlot& slot = input_slot(env);
  if (!slot.rd_rewind || slot.rd_rewind(&slot.context) != 0) raise_driver(env, "The database table cannot be read again");
  return 0;
}

int32_t db_write_open(EnvRecord& env) {
  DriverSlot& slot = *env.transfer.output_driver;
  db_fill_context(env, slot, env.transfer.output_code, env.transfer.output_path);
  list_selected(env, slot);
  if (!slot.wdict || slot.wdict(&slot.context) != 0) raise_driver(env, "Error connecting to Database source");
  return 0;
}

int32_t db_write_case(EnvRecord& env) {
  DriverSlot& slot = *env.transfer.output_driver;
  if (!slot.wcase) return -1;
  env.message = env.driver_message;
  int32_t r = slot.wcase(&slot.context);
  if (r >= 0) env.message = "";
  return r;
}

}  // namespace

extern const FormatReaderOps kDatabaseReader = {
    .flags = kReaderOwnInput,
    .open = db_open,
    .read_dict = db_read_dict,
    .read_case = db_read_case,
    .save_position = db_save_position,
    .restore_position = db_restore_position,
    .read_members = db_read_members,
    .select_member = db_select_member,
    .close = db_close_input,
};

extern const FormatWriterOps kDatabaseWriter = {
    .flags = kWriterOwnContainer,
    .open = db_write_open,
    .write_case = db_write_case,
    .close = nullptr,  // closew runs from DX_CloseFiles (db_close_output)
};

int32_t db_driver_number(int32_t code) {
  switch (code) {
    case 23: case 24: case 58: return 1;
    case 25: case 26: case 27: case 28: return 2;
    case 42: case 43: case 44: case 45: return code - 39;
    default: return 0;
  }
}

void db_load_output(EnvRecord& env, int32_t code) { driver_load(env, kDriverSideOutput, db_driver_number(code)); }

int32_t db_close_output(EnvRecord& env) {
  DriverSlotPtr& slot = env.transfer.output_driver;
  if (!slot || !slot->closew) return 0;
  slot->context.failed = env.transfer.transfer_failed || env.transfer.delete_output ? 1 : 0;
  int32_t r = slot->closew(&slot->context);
  slot->written.clear();
  return r < 0 ? r : 0;
}

void db_close_input(EnvRecord& env) {
  DriverSlotPtr& slot = env.transfer.input_driver;
  if (slot && slot->closer) slot->closer(&slot->context);
}

}  // namespace tabulon
