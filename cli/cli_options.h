// Command-line parsing of the tabulon tool.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace cli {

struct CliOptions {
  std::string command;             // convert, info, formats, options
  std::vector<std::string> files;  // positional arguments
  std::string from, to;            // -i / -o: format name or code
  std::vector<std::pair<std::string, std::string>> sets;  // -s KEY=VALUE
  std::vector<std::string> keeps, drops;
  std::string where;
  std::string member;
  int programs = 0;                // SAS 1, SPSS 2, Stata 4: programs written beside a fixed-column output
  bool optimize = true;
  bool optimize_given = false;
  bool overwrite = false;
  bool quiet = false;
  int verbose = 0;                 // -v warnings of every variable and information; -vv library diagnostics
  bool strict = false;             // any change to the data fails the conversion
  bool schema = false;             // write the .SCH description beside a delimited output
  bool all = false;                // formats --all: the whole registry
  bool json = false;
  bool help = false;
};

// Exit codes.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Parses argv; on a usage error returns false with the message in `error`.
bool parse_cli(int argc, char** argv, CliOptions& out, std::string& error);

const char* usage_text();
const char* command_usage(const std::string& command);

}  // namespace cli
