#include "dates/date_state.h"

#include "api/env_record.h"

namespace tabulon {

namespace {

// The system locale is read once per process; environments copy the result.
struct LocaleDefaults {
  DateNames names;
  int32_t date_order = kDateOrderMdy;
};

const LocaleDefaults& locale_defaults() {
  static const LocaleDefaults defaults = [] {
    LocaleDefaults d;
    date_names_from_locale("", d.names, &d.date_order);
    return d;
  }();
  return defaults;
}

constexpr int32_t pattern_count(int32_t category) { return category == kPatternsRead ? 4 : 3; }

void recompile(DateState& st, int32_t category, int32_t index) {
  const bool set = st.pattern_set[category - 1][index];
  const std::string& text = st.pattern_text[category - 1][index];
  if (category == kPatternsRead)
    compile_parse_pattern(set ? std::string_view(text) : std::string_view(kDefaultParsePattern), &st.read[index]);
  else if (category == kPatternsWrite)
    compile_format_pattern(set ? std::string_view(text) : std::string_view(default_format_pattern(index)),
                           &st.write[index], index == kDateKindTime);
}

}  // namespace

const char* date_pattern_text(const EnvRecord& env, int32_t category, int32_t index) {
  if (category < 1 || category > 3 || index < 0 || index >= pattern_count(category)) return nullptr;
  return env.dates.pattern_set[category - 1][index] ? env.dates.pattern_text[category - 1][index].c_str() : nullptr;
}

bool date_store_pattern(EnvRecord& env, int32_t category, int32_t index, const char* text) {
  if (category < 1 || category > 3 || index < 0 || index >= pattern_count(category)) return false;
  DateState& st = env.dates;
  const bool set = text && *text;
  st.pattern_set[category - 1][index] = set;
  if (set)
    st.pattern_text[category - 1][index] = text;
  else
    st.pattern_text[category - 1][index].clear();
  recompile(st, category, index);
  return true;
}

bool date_env_open(EnvRecord& env, int32_t) {
  DateState& st = env.dates;
  const LocaleDefaults& d = locale_defaults();
  st.names = d.names;
  st.locale_date_order = d.date_order;
  for (int32_t c = 1; c <= 3; ++c)
    for (int32_t i = 0; i < pattern_count(c); ++i) {
      st.pattern_set[c - 1][i] = false;
      st.pattern_text[c - 1][i].clear();
      recompile(st, c, i);
    }
  return true;
}

void date_env_close(EnvRecord& env) { env.dates = DateState{}; }

}  // namespace tabulon
