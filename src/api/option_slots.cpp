// The numbered option store and the process-wide texts of options 27 and 28.
#include "api/option_slots.h"

#include <cstring>
#include <memory>

#include "api/env_record.h"

namespace tabulon {

namespace {

std::unique_ptr<char[]> copy_text(const char* text) {
  size_t n = std::strlen(text);
  auto copy = std::make_unique<char[]>(n + 1);
  std::memcpy(copy.get(), text, n + 1);
  return copy;
}

OptionHandler g_handlers[256];        // numbers 0..255
DictOptionHandler g_dict_handlers[32];  // what 0..31
std::unique_ptr<char[]> g_shared_path;
std::unique_ptr<char[]> g_shared_text2;

}  // namespace

int32_t option_int(const EnvRecord& env, int number) {
  int slot = option_slot_index(number);
  if (slot < 0 || env.options.slots.text[slot]) return 0;
  return env.options.slots.value[slot];
}

const char* option_text(const EnvRecord& env, int number) {
  int slot = option_slot_index(number);
  if (slot < 0) return nullptr;
  return env.options.slots.text[slot].get();
}

bool option_store(EnvRecord& env, int number, int32_t value, const char* text) {
  int slot = option_slot_index(number);
  if (slot < 0) return false;
  auto& slots = env.options.slots;
  if (text) {
    slots.text[slot] = copy_text(text);
    slots.value[slot] = 0;
  } else {
    slots.text[slot].reset();
    slots.value[slot] = value;
  }
  return true;
}

void option_slots_clear(OptionSlots& slots) {
  for (auto& t : slots.text) t.reset();
  slots.value.fill(0);
}

void register_option_handler(int number, OptionHandler handler) {
  if (number >= 0 && number < 256) g_handlers[number] = handler;
}

OptionHandler option_handler(int number) { return number >= 0 && number < 256 ? g_handlers[number] : nullptr; }

void register_dict_option_handler(int what, DictOptionHandler handler) {
  if (what >= 0 && what < 32) g_dict_handlers[what] = handler;
}

DictOptionHandler dict_option_handler(int what) { return what >= 0 && what < 32 ? g_dict_handlers[what] : nullptr; }

const char* option_shared_path() { return g_shared_path.get(); }
const char* option_shared_text2() { return g_shared_text2.get(); }

void option_set_shared_text(int number, const char* text) {
  auto& target = number == kOptSharedPath ? g_shared_path : g_shared_text2;
  if (text) {
    target = copy_text(text);
  } else {
    target.reset();
  }
}

const char* option_user_encoding(const EnvRecord& env, int side) {
  return side == 1 ? env.options.user_in_encoding.c_str() : env.options.user_out_encoding.c_str();
}

int32_t option_sas_outrep(const EnvRecord& env) { return env.options.writer.sas_style_raw & 0xFF; }

}  // namespace tabulon
