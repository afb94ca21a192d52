#include "session.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <deque>
#include <string>

#include "report.h"
#include "tabulon/tabulon.h"

namespace cli {

namespace {

const CliOptions* g_opts = nullptr;

// Option flag bits of the keyword table.
constexpr uint32_t kLoaded = 0x1, kYesNo = 0x2, kInteger = 0x4, kText = 0x8, kChoice = 0x10, kChar = 0x20,
                   kTextChanged = 0x80, kChoiceOrChar = 0x100;

void on_message(int32_t level, const char* text, int32_t category, int64_t user) {
  on_library_message(level, text, category, user);
}

bool g_approved = false;  // the overwrite question was asked and answered before any work

// The tool asks its own question before any work; devices and pipes are written as they are.
int32_t on_confirm(int32_t, const char* path, int32_t, int64_t) {
  struct stat st;
  if (path && stat(path, &st) == 0 && !S_ISREG(st.st_mode)) return 1;
  return g_opts && (g_opts->overwrite || g_approved);
}

// Directive letters of the date-pattern language (writing and reading together).
bool date_pattern_ok(const std::string& p, std::string& bad) {
  static const char kLetters[] = "%ABHIhMNSUWYabcdjmnpwxyZ";
  for (size_t i = 0; i < p.size(); ++i) {
    if (p[i] != '%') continue;
    size_t j = i + 1;
    if (j < p.size() && p[j] == '0') ++j;
    while (j < p.size() && std::isdigit(static_cast<unsigned char>(p[j]))) ++j;
    if (j < p.size() && p[j] == ':') j += 2;
    else if (j < p.size() && p[j] == '$') ++j;
    if (j >= p.size() || !std::strchr(kLetters, p[j])) {
      bad = j < p.size() ? p.substr(i, j - i + 1) : p.substr(i);
      return false;
    }
    i = j;
  }
  return true;
}

// Texts handed to the process-wide option table must outlive the run.
std::deque<std::string>& kept_texts() {
  static std::deque<std::string> texts;
  return texts;
}

}  // namespace

bool ask_overwrite(const std::string& path, bool yes) {
  if (yes) return g_approved = true;
  if (!isatty(STDIN_FILENO) || !isatty(STDERR_FILENO)) return false;
  std::fprintf(stderr, "tabulon: %s exists. Replace it? [y/N] ", path.c_str());
  std::fflush(stderr);
  char answer[16] = {};
  if (!std::fgets(answer, sizeof answer, stdin)) return false;
  return g_approved = (answer[0] == 'y' || answer[0] == 'Y');
}

int find_keyword(const std::string& keyword) {
  // The table keeps two keywords as they were first spelt; the right spellings work too.
  static const char* const kSpellings[][2] = {{"preserve-sas-names", "preseve-sas-names"},
                                              {"dk-continue", "dk-coninue"}};
  std::string want = keyword;
  for (const auto& pair : kSpellings)
    if (want == pair[0]) want = pair[1];
  for (int32_t i = 0;; ++i) {
    DX_OptionEntry* e = dxi_get_opt(i);
    if (!e) return -1;
    if (e->keyword && strcasecmp(want.c_str(), e->keyword) == 0) return i;
  }
}

Session::Session(const CliOptions& opts) : opts_(opts) {
  g_opts = &opts;
  // Flag 1: start from the option defaults; the table is applied once the output is known.
  env_ = DX_OpenEnvironmentEx(1);
  if (env_ < 0) return;
  uint32_t settings[4] = {0, 0, 0xFFFFFFFFu, 1};
  // Diagnostics always come: the particulars of a failure are among them (shown with -vv).
  int32_t levels = 1 | 4;
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
    std::string bad;
    if (std::string(e->keyword).find("-fmt") != std::string::npos && std::string(e->keyword) != "read-fmt-name" &&
        std::string(e->keyword) != "write-fmt-name" && std::string(e->keyword) != "read-sas-fmts" &&
        std::string(e->keyword) != "write-sas-fmts" && !date_pattern_ok(value, bad)) {
      error = "unknown directive '" + bad + "' in the date pattern of -s " + key + " (see 'tabulon options')";
      return false;
    }
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

bool Session::apply_options(int32_t output_code, std::string& error) {
  int32_t settings[6] = {0, 0, 0, 0, 0, 0};
  Reporter& r = reporter();
  size_t held = r.held_errors.size();
  dxi_set_options(env_, output_code, settings, 0);
  // A value the library refused while applying the table is a usage error.
  if (r.held_errors.size() > held) {
    error = r.held_errors[held].second;
    r.held_errors.resize(held);
    return false;
  }
  // The library's own default lets errors alone through; the tool shows warnings too, and
  // information with -v, unless the user chose a log level.
  bool chosen = false;
  for (const auto& set : opts_.sets) chosen = chosen || set.first == "log-level";
  if (!chosen) DX_SetDictOption(env_, 1, 1, const_cast<char*>(opts_.verbose ? "v" : "w"));
  return true;
}

bool Session::keyword_yes(const char* keyword) const {
  int idx = find_keyword(keyword);
  if (idx < 0) return false;
  return dxi_get_opt(idx)->value == 1;
}

int Session::fail(const std::string& context) const {
  const char* msg = env_ >= 0 ? DX_GetErrorMsg(env_) : nullptr;
  std::string text = plain_text(msg);
  Reporter& r = reporter();
  const bool said = !r.held_errors.empty();
  flush_held_errors(true);
  if (text.empty() || text == "No Message Available.") {
    if (said) return kExitFailure;  // the library's own lines said why
    text = context.empty() ? "the conversion failed" : context;
  }
  say_error(r.file, plain_cause(text));
  return kExitFailure;
}

}  // namespace cli
