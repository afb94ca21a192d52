// Programs for SAS, SPSS and Stata written beside a fixed-column data file that another
// output format produced: the environment's program mask chooses them.
#include <string>

#include "api/env_record.h"
#include "api/option_slots.h"
#include "api/raise.h"
#include "dict/dictionary.h"
#include "engine/format_registry.h"
#include "formats/text/program_writer.h"

namespace tabulon {

namespace {

// The output's own program is never written a second time.
uint32_t own_program(int32_t code) {
  switch (code) {
    case 39: return kProgramSpss;
    case 40: return kProgramSas;
    case 41: return kProgramStata;
    default: return 0;
  }
}

bool fixed_data_output(int32_t code) {
  const FormatEntry* f = format_entry(code);
  return f && (f->caps & kCapExtraPrograms);
}

}  // namespace

uint32_t extra_program_mask(EnvRecord& env, int32_t code) {
  if (code == 47) return 0;  // writes all three itself
  const uint32_t asked = static_cast<uint32_t>(option_int(env, kOptProgramMask)) & kAllPrograms;
  if (!asked || !fixed_data_output(code)) return 0;
  return asked & ~own_program(code);
}

void write_extra_programs(ProgramContext& c, uint32_t mask) {
  EnvRecord& env = *c.env;
  struct Extra {
    uint32_t bit;
    const char* ext;
    int32_t as;
  };
  static const Extra kExtras[] = {{kProgramSas, ".sas", 40}, {kProgramSpss, ".sps", 39}, {kProgramStata, ".do", 41}};
  const int32_t code = c.code;
  const std::string header = c.user_header;
  for (const Extra& x : kExtras) {
    if (!(mask & x.bit)) continue;
    const std::string path = path_with_extension(c.out_path, x.ext);
    c.code = x.as;
    c.user_header = read_user_header(env, x.ext + 1);
    std::string text;
    if (x.as == 41) {
      const std::string dct = path_with_extension(c.out_path, ".dct");
      std::string dictionary;
      stata_program(c, dct, &text, &dictionary);
      if (!write_file(env, dct, dictionary)) RaiseErrorF(env, "Error writing extra program file: %s", dct.c_str());
    } else {
      text = x.as == 40 ? sas_program(c) : spss_program(c);
    }
    if (!write_file(env, path, text)) RaiseErrorF(env, "Error writing extra program file: %s", path.c_str());
  }
  c.code = code;
  c.user_header = header;
}

void fixed_text_programs_prepare(EnvRecord& env, FixedTextWithPrograms& w, uint32_t extras) {
  ProgramContext& c = w.programs;
  w.extras = extras;
  c.code = env.transfer.output_code;
  c.out_path = env.transfer.output_path;
  c.data_path = c.out_path;
  if (option_int(env, kOptProgOmitPaths)) {
    const size_t slash = c.data_path.find_last_of('/');
    if (slash != std::string::npos) c.data_path = c.data_path.substr(slash + 1);
  }
  program_context_settings(env, c);
  legalize_program_names(env, 47);
  DictState& d = env.dict;
  for (int32_t i = 0; i < dict_count(d); ++i)
    if (dict_var(d, i)->selected) c.vars.push_back(dict_var(d, i));
  program_layout(c, option_int(env, kOptProgPreserveWidths) != 0);
  for (int k = 0; k < 3; ++k) {
    c.date_pattern[k] = kPackagePatterns[k];
    w.preset_patterns[k] = kPackagePatterns[k];
  }
  w.start = c.start;
  w.width = c.width;
  w.total = c.total;
  w.preset_layout = true;
}

void fixed_text_programs_after_open(FixedTextWithPrograms& w) {
  w.s.decimal_point = '.';  // the programs read a point whatever the text settings say
}

void fixed_text_programs_close(FixedTextWithPrograms& w) {
  if (w.extras) write_extra_programs(w.programs, w.extras);
}

}  // namespace tabulon
