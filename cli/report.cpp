#include "report.h"

#include <cstdio>
#include <cstring>

namespace cli {

Reporter& reporter() {
  static Reporter r;
  return r;
}

std::string plain_text(const char* text) {
  if (!text) return "";
  static const char* const kPrefixes[] = {"Error:", "Warning:", "Info:", "Data:", "LIB:"};
  for (const char* p : kPrefixes)
    if (std::strncmp(text, p, std::strlen(p)) == 0) {
      text += std::strlen(p);
      break;
    }
  std::string out;
  bool blank = true;  // drops leading blanks
  for (const char* c = text; *c; ++c) {
    char ch = *c;
    if (ch == '\n' || ch == '\t' || ch == '\r' || ch == ' ') {
      if (!blank) out += ' ';
      blank = true;
      continue;
    }
    out += ch;
    blank = false;
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

std::string plain_cause(const std::string& text) {
  const std::string damaged = "is truncated or damaged: ";
  if (text.find("occurred while reading the input file") != std::string::npos)
    return damaged + "reading failed after case " + std::to_string(static_cast<long long>(reporter().cases_done));
  // A numbered failure of a reader: its particulars came just before as a diagnostic
  // ("SPSS data: the file ends inside a case").
  if (text.rfind("SPSS dataset (", 0) == 0 && text.find("was stopped because of the error (") != std::string::npos &&
      reporter().last_detail.rfind("SPSS d", 0) == 0) {
    const std::string& detail = reporter().last_detail;
    const size_t colon = detail.find(": ");
    if (colon != std::string::npos) return damaged + detail.substr(colon + 2);
  }
  if (text.find("longer or shorter than it should be") != std::string::npos)
    return damaged + "its length does not match its header";
  if (size_t at = text.find("is truncated: "); at != std::string::npos) return damaged + text.substr(at + 14);
  if (size_t at = text.find(" (file truncated?)"); at != std::string::npos) return damaged + text.substr(0, at);
  if (text.find("End of file") != std::string::npos || text.find("end of file") != std::string::npos ||
      text.find("unexpected end") != std::string::npos)
    return damaged + "it ends early (" + text + ")";
  if (text.find("does not exist") != std::string::npos && text.rfind("The file:", 0) == 0) return "No such file";
  if (text.find("It is being used by another application") != std::string::npos)
    return "cannot be opened (in use, or Permission denied)";
  if (text.find("was not open, the error code") != std::string::npos) {
    bool input = text.find("input encoder") != std::string::npos;
    return std::string("unknown ") + (input ? "input" : "output") + " encoding (see -s " +
           (input ? "in-encoding" : "out-encoding") + ")";
  }
  if (text.rfind("Cannot open output file:", 0) == 0) return "cannot be created (Permission denied?)";
  return text;
}

namespace {

void say(const char* kind, const std::string& file, const std::string& text) {
  if (file.empty())
    std::fprintf(stderr, "tabulon: %s: %s\n", kind, text.c_str());
  else
    std::fprintf(stderr, "tabulon: %s: %s: %s\n", kind, file.c_str(), text.c_str());
}

}  // namespace

void say_error(const std::string& file, const std::string& text) {
  Reporter& r = reporter();
  if (text == r.last_error) return;
  r.last_error = text;
  say("error", file, text);
}

void say_warning(const std::string& file, const std::string& text) {
  ++reporter().warnings;
  if (!reporter().quiet) say("warning", file, text);
}

void say_info(const std::string& file, const std::string& text) {
  if (reporter().verbose >= 1 && !reporter().quiet) say("info", file, text);
}

void flush_held_errors(bool failed) {
  Reporter& r = reporter();
  for (const auto& [file, text] : r.held_errors) {
    if (failed)
      say_error(file, text);
    else
      say_warning(file, text);
  }
  r.held_errors.clear();
}

void on_library_message(int32_t level, const char* text, int32_t category, int64_t) {
  if (!text) return;
  Reporter& r = reporter();
  if (level == 4 || std::strncmp(text, "LIB:", 4) == 0) {
    // Diagnostics come always (a failure's particulars are among them) but are kept only
    // when they can explain one, or shown with -vv: no work per message otherwise.
    const bool shown = r.verbose >= 2 && !r.quiet;
    if (!shown && !std::strstr(text, "SPSS d")) return;
    const std::string line = plain_text(text);
    if (std::strstr(text, "SPSS d")) r.last_detail = line;
    if (shown && !line.empty()) std::fprintf(stderr, "tabulon: LIB: %s\n", line.c_str());
    return;
  }
  const std::string line = plain_text(text);
  if (line.empty()) return;
  if (std::strncmp(text, "Error:", 6) == 0 && (category & 0x0000000F)) {
    r.held_errors.emplace_back(r.file, plain_cause(line));
    return;
  }
  if (std::strncmp(text, "Warning:", 8) == 0) {
    // The library's closing line sums up what changed; the lines before it, one per
    // variable, are details for -v.
    if (line.rfind("Changes: ", 0) == 0) {
      r.changes = line.substr(9);
      if (!r.changes.empty() && r.changes.back() == '.') r.changes.pop_back();
      return;
    }
    if (line.rfind("Variable [", 0) == 0 || (line[0] >= '0' && line[0] <= '9')) {
      ++r.warnings;
      if (r.verbose >= 1 && !r.quiet) std::fprintf(stderr, "tabulon: warning: %s: %s\n", r.file.c_str(), line.c_str());
      return;
    }
    say_warning(r.file, line);
    return;
  }
  say_info(r.file, line);
}

}  // namespace cli
