// Every message of the tool has one shape on one line:  tabulon: error|warning: FILE: text
// Library texts are joined onto one line without their level prefixes and tab indents;
// library diagnostics ("LIB:") show only with -vv, information only with -v.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace cli {

struct Reporter {
  int verbose = 0;
  bool quiet = false;
  std::string file;               // the file the current step works on
  int warnings = 0;               // warnings printed or held back
  std::string changes;            // the library's closing summary of changes, without "Changes: "
  std::string last_error;         // the last error printed, so it is not printed twice
  int64_t cases_done = 0;         // for "where" in a read failure
  std::string last_detail;        // the last library diagnostic: the particulars of a numbered failure
  // Library errors are held until the run ends: a run that fails shows them as errors, a run
  // that succeeds despite them shows them as warnings (an error always means exit 1).
  std::vector<std::pair<std::string, std::string>> held_errors;  // file, text
};

// Prints the held library errors, as errors (failed run) or warnings (the run went on).
void flush_held_errors(bool failed);

Reporter& reporter();

// One library text on one line: no level prefix, no tabs or line breaks, no doubled blanks.
std::string plain_text(const char* text);
// The plain cause for a library failure text whose own words would puzzle a user.
std::string plain_cause(const std::string& text);

void say_error(const std::string& file, const std::string& text);
void say_warning(const std::string& file, const std::string& text);
void say_info(const std::string& file, const std::string& text);

// The library's log callback.
void on_library_message(int32_t level, const char* text, int32_t category, int64_t user);

}  // namespace cli
