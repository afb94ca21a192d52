#include "session.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <string>

#include "tabulon/tabulon.h"

namespace cli {

namespace {

const CliOptions* g_opts = nullptr;
std::string g_last_error_shown;  // an error the log callback already printed

// Option flag bits of the keyword table.
constexpr uint32_t kLoaded = 0x1, kYesNo = 0x2, kInteger = 0x4, kText = 0x8, kChoice = 0x10, kChar = 0x20,
                   kTextChanged = 0x80, kChoiceOrChar = 0x100;

void on_message(int32_t level, const char* text, int32_t category, int64_t) {
  if (!text || !g_opts) return;
  bool is_error = level == 1 && (category & 0x0000000F) && std::strncmp(text, "Error:", 6) == 0;
  bool is_warning = level == 1 && std::strncmp(text, "Warning:", 8) == 0;
  if (g_opts->quiet && !is_error) return;
  if (!g_opts->verbose && !is_error && !is_warning) return;
  if (is_error) g_last_error_shown = text;
  std::fprintf(stderr, "%s\n", text);
}

int32_t on_confirm(int32_t, const char* path, int32_t, int64_t) {
  if (!g_opts) return 0;
  if (g_opts->overwrite) return 1;
  if (!isatty(STDIN_FILENO) || !isatty(STDERR_FILENO)) return 0;
  std::fprintf(stderr, "%s exists. Replace it? [y/N] ", path ? path : "the output");
  std::fflush(stderr);
  char answer[16] = {};
  if (!std::fgets(answer, sizeof answer, stdin)) return 0;
  return answer[0] == 'y' || answer[0] == 'Y';
}

// Texts handed to the process-wide option table must outlive the run.
std::deque<std::string>& kept_texts() {
  static std::deque<std::string> texts;
  return texts;
}

}  // namespace

int find_keyword(const std::string& keyword) {
  for (int32_t i = 0;; ++i) {
    DX_OptionEntry* e = dxi_get_opt(i);
    if (!e) return -1;
    if (e->keyword && keyword == e->keyword) return i;
  }
}

Session::Session(const CliOptions& opts) : opts_(opts) {
  g_opts = &opts;
  // Flag 1: start from the option defaults; the table is applied once the output is known.
  env_ = DX_OpenEnvironmentEx(1);
  if (env_ < 0) return;
  uint32_t settings[4] = {0, 0, 0xFFFFFFFFu, 1};
  int32_t levels = opts.verbose ? (1 | 4) : 1;
  DX_SetInfoCallback(env_, levels, settings, 0, 0, on_message);
  DX_SetCallbackFunc(env_, 1, 0, on_confirm);
}

Session::~Session() {
  if (env_ >= 0) {
    DX_CloseFiles(env_);
    DX_CloseEnvironment(env_);
  }
}

bool Session::set_keywords(const std::vector<std::pair<std::string, std::string>>& sets, std::string& error) {
  for (const auto& [key, value] : sets) {
    int idx = find_keyword(key);
    if (idx < 0) {
      error = "unknown option '" + key + "' (see 'tabulon options')";
      return false;
    }
    DX_OptionEntry* e = dxi_get_opt(idx);
    char errbuf[256] = {};
    const std::string& text = kept_texts().emplace_back(value);
    int32_t parsed = 0;
    if (e->flags & kYesNo) {
      parsed = dxi_yesno(text.c_str(), errbuf);
      if (parsed != 0 && parsed != 1) {
        error = errbuf[0] ? errbuf : "Invalid paramater in 'set' command: " + text;
        return false;
      }
    } else if (e->flags & kInteger) {
      char* end = nullptr;
      long v = std::strtol(text.c_str(), &end, 10);
      if (text.empty() || *end) {
        error = "Invalid paramater in 'set' command: " + text;
        return false;
      }
      parsed = static_cast<int32_t>(v);
    } else if (e->flags & (kChoice | kChoiceOrChar)) {
      parsed = dxi_enum_type(e->choices, text.c_str());
      if (parsed < 0) {
        if ((e->flags & kChoiceOrChar) && !text.empty()) {
          parsed = static_cast<unsigned char>(text[0]);
        } else {
          error = "Invalid paramater in 'set' command: " + text;
          return false;
        }
      }
    } else if (e->flags & kChar) {
      parsed = text == "none" ? 0 : static_cast<unsigned char>(text.empty() ? 0 : text[0]);
    } else if (e->flags & kText) {
      e->choices = text.c_str();  // text kinds keep their value in this field
      e->flags |= kTextChanged;
    }
    e->value = parsed;
    e->current_text = text.c_str();
    e->flags |= kLoaded;
  }
  return true;
}

void Session::apply_options(int32_t output_code) {
  int32_t settings[6] = {0, 0, 0, 0, 0, 0};
  dxi_set_options(env_, output_code, settings, 0);
  // The library's own default lets errors alone through; the tool shows warnings too, and
  // information with -v, unless the user chose a log level.
  bool chosen = false;
  for (const auto& set : opts_.sets) chosen = chosen || set.first == "log-level";
  if (!chosen) DX_SetDictOption(env_, 1, 1, const_cast<char*>(opts_.verbose ? "v" : "w"));
}

bool Session::keyword_yes(const char* keyword) const {
  int idx = find_keyword(keyword);
  if (idx < 0) return false;
  return dxi_get_opt(idx)->value == 1;
}

int Session::fail(const std::string& context) const {
  const char* msg = env_ >= 0 ? DX_GetErrorMsg(env_) : nullptr;
  std::string text = msg ? msg : "";
  if (text.empty()) text = "Error:\t" + (context.empty() ? std::string("the conversion failed") : context);
  if (text != g_last_error_shown) std::fprintf(stderr, "%s\n", text.c_str());
  return kExitFailure;
}

}  // namespace cli
