// The tool's commands; each returns the process exit code.
#pragma once

#include "cli_options.h"

namespace cli {

int run_convert(const CliOptions& opts);
int run_info(const CliOptions& opts);
int run_formats(bool all);
int run_options();

}  // namespace cli
