// tabulon: the command-line face of the library.
#include <cstdio>
#include <string>

#include "cli_options.h"
#include "commands.h"
#include "tabulon/tabulon.h"

int main(int argc, char** argv) {
  using namespace cli;
  CliOptions opts;
  std::string error;
  if (!parse_cli(argc, argv, opts, error)) {
    std::fprintf(stderr, "tabulon: error: %s\n\n%s", error.c_str(),
                 opts.command.empty() ? usage_text() : command_usage(opts.command));
    return kExitUsage;
  }
  if (opts.help) {
    std::fputs(opts.command.empty() ? usage_text() : command_usage(opts.command), stdout);
    return kExitOk;
  }
  if (opts.command == "--version") {
    std::printf("tabulon %s\n", DX_GetDLLVersion());
    return kExitOk;
  }
  if (opts.command == "convert") return run_convert(opts);
  if (opts.command == "info") return run_info(opts);
  if (opts.command == "formats") return run_formats(opts.all);
  if (opts.command == "options") return run_options();
  std::fputs(usage_text(), stderr);
  return kExitUsage;
}
