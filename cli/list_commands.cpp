// tabulon formats, tabulon options
#include <cstdio>
#include <string>

#include "commands.h"
#include "format_choice.h"
#include "tabulon/tabulon.h"

namespace cli {

int run_formats(bool all) {
  std::printf("%-5s %-5s %-5s %-28s %s\n", "code", "read", "write", "extensions", "format");
  if (all) std::printf("(drv: through the maker's database driver library, when installed; -: not in this build)\n");
  int hidden = 0;
  for (const FormatInfo& f : all_formats()) {
    // The formats this build reads or writes itself; --all shows the rest of the registry.
    if (!all && ((!f.can_read && !f.can_write) || f.needs_driver)) {
      ++hidden;
      continue;
    }
    std::string exts;
    for (const std::string& e : f.extensions) exts += (exts.empty() ? "" : " ") + e;
    const char* yes = f.needs_driver ? "drv" : "yes";
    std::printf("%-5d %-5s %-5s %-28s %s\n", f.code, f.can_read ? yes : "-", f.can_write ? yes : "-",
                exts.c_str(), f.name.c_str());
  }
  if (hidden) std::printf("\n%d more formats of the registry are not in this build: tabulon formats --all\n", hidden);
  return kExitOk;
}

int run_options() {
  std::printf("%-26s %-28s %-36s %s\n", "keyword", "default", "choices", "description");
  for (int32_t i = 0;; ++i) {
    DX_OptionEntry* e = dxi_get_opt(i);
    if (!e) break;
    // Choice kinds list their words in the choices field; text kinds keep their value there.
    bool is_choice = (e->flags & 0x10) != 0;
    const char* current = e->current_text ? e->current_text : (e->default_text ? e->default_text : "");
    std::string keyword = e->keyword ? e->keyword : "";
    // Two keywords keep their first spelling; the right one works too.
    if (keyword == "preseve-sas-names") keyword += " (preserve-sas-names)";
    if (keyword == "dk-coninue") keyword += " (dk-continue)";
    std::printf("%-26s %-28s %-36s %s\n", keyword.c_str(), current, is_choice && e->choices ? e->choices : "",
                e->description ? e->description : "");
  }
  return kExitOk;
}

}  // namespace cli
