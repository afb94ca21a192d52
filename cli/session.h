// One library environment for the tool: messages to stderr, the overwrite question,
// and keyword options applied the way a host's "set" command applies them.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "cli_options.h"

namespace cli {

class Session {
 public:
  explicit Session(const CliOptions& opts);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  int32_t env() const { return env_; }
  bool ok() const { return env_ >= 0; }

  // Sets keyword options in the library's table; on an invalid value returns false with
  // the library's message in `error`.
  bool set_keywords(const std::vector<std::pair<std::string, std::string>>& sets, std::string& error);
  // Applies the table to the environment for an output format (0: input side only); false
  // with the library's text in `error` when it refused a value.
  bool apply_options(int32_t output_code, std::string& error);
  // Value of a yes/no keyword option as the table holds it now.
  bool keyword_yes(const char* keyword) const;

  // Prints the library's message of the last failure (once) and returns kExitFailure.
  int fail(const std::string& context = "") const;

 private:
  int32_t env_ = -1;
  const CliOptions& opts_;
};

// Asks before an existing output is replaced (yes at once with -y; no without a terminal).
bool ask_overwrite(const std::string& path, bool yes);

// Index of a keyword option in the library's table, or -1.
int find_keyword(const std::string& keyword);

}  // namespace cli
