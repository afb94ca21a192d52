// tabulon convert IN OUT
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "format_choice.h"
#include "progress.h"
#include "report.h"
#include "session.h"
#include "tabulon/tabulon.h"

namespace cli {

namespace {

constexpr int32_t kChunk = 4096;

std::string directory_of(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Why OUT cannot be written, in plain words, or "".
std::string output_problem(const std::string& out) {
  struct stat st;
  if (stat(out.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return "is a directory";
    if (access(out.c_str(), W_OK) != 0) return "Permission denied";
    return "";
  }
  std::string dir = directory_of(out);
  if (stat(dir.c_str(), &st) != 0) return "the directory " + dir + " does not exist";
  if (!S_ISDIR(st.st_mode)) return dir + " is not a directory";
  if (access(dir.c_str(), W_OK | X_OK) != 0) return "Permission denied";
  return "";
}

bool same_file(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  if (stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0)
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  char ra[PATH_MAX], rb[PATH_MAX];
  return realpath(a.c_str(), ra) && realpath(b.c_str(), rb) && std::strcmp(ra, rb) == 0;
}

// The temporary copy of standard input, removed at exit and on a signal.
char g_spool[PATH_MAX] = {};

void remove_spool() {
  if (g_spool[0]) unlink(g_spool);
}

void on_signal(int sig) {
  // Only async-signal-safe calls: the library's list of unfinished outputs, then unlink.
  dxi_remove_partial_outputs();
  if (g_spool[0]) unlink(g_spool);
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

void install_signal_handlers() {
  struct sigaction sa = {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaction(sig, &sa, nullptr);
}

// Binary inputs need to seek: standard input is copied to a temporary file first.
bool spool_stdin(std::string& path) {
  const char* tmp = std::getenv("TMPDIR");
  std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/tabulon-stdin-XXXXXX";
  if (templ.size() >= sizeof g_spool) return false;
  std::memcpy(g_spool, templ.c_str(), templ.size() + 1);
  int fd = mkstemp(g_spool);
  if (fd < 0) {
    g_spool[0] = '\0';
    return false;
  }
  std::atexit(remove_spool);
  char buf[1 << 16];
  for (;;) {
    ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
    if (n == 0) break;
    if (n < 0 || write(fd, buf, static_cast<size_t>(n)) != n) {
      close(fd);
      return false;
    }
  }
  close(fd);
  path = g_spool;
  return true;
}

bool text_output(int code) { return code == 18 || code == 19 || code == 31; }

bool is_set(const CliOptions& opts, const char* key) {
  for (const auto& s : opts.sets)
    if (s.first == key) return true;
  return false;
}

std::string lower_ext(const std::string& path) {
  size_t slash = path.find_last_of('/');
  size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  std::string e = path.substr(dot);
  for (char& c : e) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return e;
}

std::string member_list(int32_t env) {
  std::string list;
  int32_t n = DX_ReadMembers(env);
  for (int32_t k = 0; k < n && k < 50; ++k) {
    char name[1024] = {};
    if (DX_GetMemberName(env, k, name) < 0) continue;
    if (!list.empty()) list += ", ";
    list += name;
  }
  if (n > 50) list += ", ...";
  return list;
}

int usage_error(const std::string& file, const std::string& text) {
  say_error(file, text);
  return kExitUsage;
}

}  // namespace

int run_convert(const CliOptions& given) {
  CliOptions opts = given;
  Reporter& rep = reporter();
  rep.verbose = opts.verbose;
  rep.quiet = opts.quiet;
  Progress progress(isatty(STDERR_FILENO) && !opts.quiet);
  install_signal_handlers();

  const DatabaseSource in_db = database_source(opts.files[0]);
  const DatabaseSource out_db = database_source(opts.files[1]);
  std::string in = in_db.is_database ? in_db.connection : opts.files[0];
  std::string out = out_db.is_database ? out_db.connection : opts.files[1];
  const std::string in_name = in_db.is_database ? in_db.display : in == "-" ? "standard input" : in;
  const std::string out_name = out_db.is_database ? out_db.display : out == "-" ? "standard output" : out;
  std::string error;

  // The input: plain causes first, then its format.
  if (in_db.is_database) {
    // A database table: checked when the driver connects.
  } else if (in == "-") {
    if (isatty(STDIN_FILENO)) return usage_error(in_name, "is a terminal; pipe a file into it or name one");
    if (!spool_stdin(in)) {
      say_error(in_name, std::string("could not be copied to a temporary file: ") + std::strerror(errno));
      return kExitFailure;
    }
  } else if (std::string why = input_problem(in); !why.empty()) {
    say_error(in_name, why);
    return kExitFailure;
  }
  int in_code;
  if (in_db.is_database)
    in_code = kOdbcCode;
  else if (!opts.from.empty())
    in_code = format_from_user(opts.from, false, error);
  else if (given.files[0] == "-")
    in_code = sniff_format(in) >= 0 ? sniff_format(in) : 18;  // text unless it carries a signature
  else
    in_code = format_from_path(in, false, error);
  if (in_code < 0) return usage_error(in_name, error);
  if (std::string why = in_db.is_database ? "" : format_mismatch(in, in_code); !why.empty()) {
    say_error(in_name, why);
    return kExitFailure;
  }

  // The output: whether it can be written at all, and its format.
  if (out != "-" && !out_db.is_database) {
    if (std::string why = output_problem(out); !why.empty()) {
      say_error(out_name, why);
      return kExitFailure;
    }
  }
  int out_code;
  if (out_db.is_database)
    out_code = kOdbcCode;
  else if (!opts.to.empty())
    out_code = format_from_user(opts.to, true, error);
  else if (out == "-")
    out_code = 18;
  else
    out_code = format_from_path(out, true, error);
  if (out_code < 0) return usage_error(out_name, error);
  const bool tsv = (lower_ext(out) == ".tsv" || lower_ext(out) == ".tab" || opts.to == "tsv") && out_code == 18;
  if (out_db.is_database) {
    if (opts.member.empty()) return usage_error(out_name, "name the table to write with --member");
  } else if (out == "-") {
    if (!text_output(out_code))
      return usage_error(out_name, "only text formats (csv, tsv, fixed, html) can be written to standard output");
    out = "stdout";
  } else {
    if (!in_db.is_database && same_file(in, out)) return usage_error(out_name, "is the input file; choose another output file");
    // The question comes before any work.
    struct stat st;
    if (stat(out.c_str(), &st) == 0 && S_ISREG(st.st_mode) && !ask_overwrite(out, opts.overwrite)) {
      say_error(out_name, "exists; use -y to replace it");
      return kExitFailure;
    }
  }

  Session session(opts);
  if (!session.ok()) {
    say_error("", "the library could not open an environment (code " + std::to_string(session.env()) + ")");
    return kExitFailure;
  }
  if (tsv && !is_set(opts, "delimiter-wr")) opts.sets.emplace_back("delimiter-wr", "tab");
  if (!session.set_keywords(opts.sets, error)) return usage_error("", error);
  if (!session.apply_options(out_code, error)) return usage_error("", error);
  int32_t env = session.env();
  if (opts.programs) DX_SetOption(env, DX_OPT_PROGRAM_MASK, opts.programs, nullptr);
  // A delimited file reads back without its description; it is written on request only.
  if (out_code == 18) DX_TxtWriteSchema(env, opts.schema ? 1 : 0);

  // With a database output, --member names the table to write (the input's member when both are).
  if (out_db.is_database) DX_DBSetParm(env, 2, kDbParmTable, opts.member.c_str());
  rep.file = in_name;
  // A text input is scanned for its types inside DX_ReadDict: the bar follows that scan, and a
  // scan of the whole input gives the case count the writing bar needs.
  struct ScanWatch {
    Progress* bar;
    int64_t cases = -1;
  } scan_watch{&progress};
  dxi_set_progress_callback(env, reinterpret_cast<int64_t>(&scan_watch),
                            [](int32_t phase, int64_t cases, int32_t percent, int64_t user) {
                              auto* w = reinterpret_cast<ScanWatch*>(user);
                              if (phase == 2) w->cases = cases;
                              w->bar->update("scanning", cases, percent);
                            });
  int32_t open_rc = DX_OpenInputFile(env, in_code, in.c_str());
  if (open_rc <= -12) return usage_error(in_name, "unknown input encoding (see -s in-encoding)");
  if (open_rc < 0) return session.fail("cannot be opened");
  if (DX_FormatHasMembers(env) == 1) {
    if (DX_ReadMembers(env) < 1) return session.fail("holds no member to read");
    const bool pick = !opts.member.empty() && (!out_db.is_database || in_db.is_database);
    int32_t rc = pick ? DX_SetMember(env, opts.member.c_str()) : DX_SetFirstMember(env);
    if (rc < 0)
      return usage_error(in_name, "no member '" + opts.member + "'; its members are: " + member_list(env));
  } else if (!opts.member.empty() && !out_db.is_database) {
    return usage_error(in_name, "this format has no members; --member does not apply");
  }
  int32_t nvars = DX_ReadDict(env);
  if (nvars < 0) return session.fail("the dictionary cannot be read");
  DX_SelectAllVars(env);
  for (const std::string& list : opts.keeps)
    if (DX_DoVarSelect(env, list.c_str(), 2, 1) == 0) return usage_error(in_name, "bad --keep list '" + list + "'");
  for (const std::string& list : opts.drops)
    if (DX_DoVarSelect(env, list.c_str(), 1, 0) == 0) return usage_error(in_name, "bad --drop list '" + list + "'");
  int32_t variables = 0;
  for (int32_t i = 0; i < nvars; ++i)
    if (DX_GetVarSelect(env, i) == 1) ++variables;
  if (variables == 0) return usage_error(in_name, "no variables left to write after --keep and --drop");
  if (!opts.where.empty() && DX_ParseWhere(env, opts.where.c_str(), 1) != 0)
    return session.fail("bad --where expression (see 'tabulon convert --help')");

  // Stata's standard edition holds 2047 variables; the large edition is chosen when the data
  // need it, unless the user chose a release.
  if (out_code == 14 && variables > 2047) {
    if (is_set(opts, "write-old-ver"))
      return usage_error(out_name, std::to_string(variables) +
                                       " variables do not fit the Stata release chosen with -s write-old-ver; "
                                       "leave it out to get a release that holds them");
    DX_SetOption(env, DX_OPT_OUTPUT_VERSION, 0x100 | 10, nullptr);
  }
  int64_t ncases = DX_GetNCases(env);
  if (ncases <= 0 && scan_watch.cases > 0 && opts.where.empty()) ncases = scan_watch.cases;

  bool optimize = opts.optimize_given ? opts.optimize : session.keyword_yes("auto-optimize");
  // Exact floats only, no variable is dropped for being constant, and for a text output
  // only what it shows. The pass reads the input once more: skipped where it would change
  // nothing in this output.
  const int32_t opt_mode = 1 | 32;
  if (optimize && dxi_optimize_useful(env, out_code, opt_mode) == 0) optimize = false;
  if (optimize) {
    if (DX_OptimizeInitEx(env, out_code, opt_mode) < 0) return session.fail("the optimization pass failed");
    int64_t scanned = 0;
    for (;;) {
      int32_t n = DX_OptimizeDo(env, kChunk);
      if (n < 0) return session.fail("the optimization pass failed");
      scanned += n;
      rep.cases_done = scanned;
      progress.update("scanning", scanned, ncases > 0 ? static_cast<int32_t>(std::min<int64_t>(100, scanned * 100 / ncases)) : -1);
      if (n < kChunk) break;
    }
  }

  rep.file = out_name;
  dxi_set_strict_changes(env, opts.strict ? 1 : 0);
  open_rc = DX_OpenOutFile(env, out_code, out.c_str());
  if (open_rc == -6) {
    say_error(out_name, "exists; use -y to replace it");
    return kExitFailure;
  }
  if (open_rc <= -12) return usage_error(out_name, "unknown output encoding (see -s out-encoding)");
  if (open_rc < 0) return session.fail("cannot be written");

  int64_t moved = 0;
  rep.cases_done = 0;
  for (;;) {
    int32_t n = DX_TransferNRecords(env, kChunk);
    if (n < 0) {
      progress.finish();
      rep.file = in_name;  // a failure in the loop is most often the input's
      rep.cases_done = static_cast<int64_t>(DX_GetCasesMoved(env)) + DX_GetCasesDropped(env);
      int rc = session.fail("the transfer failed");
      DX_CloseFiles(env);  // the partial output goes away
      return rc;
    }
    moved += n;
    rep.cases_done = moved;
    int32_t pct = DX_GetPercentTransferred(env);
    if (pct <= 0 && ncases > 0) pct = static_cast<int32_t>(std::min<int64_t>(100, moved * 100 / ncases));
    progress.update("writing", moved, pct);
    if (n < kChunk) break;
  }
  progress.finish();
  int32_t rc = DX_CloseFiles(env);
  if (rc < 0 || rc == 17584) return session.fail("could not be completed");
  flush_held_errors(false);
  if (!rep.changes.empty()) say_warning(out_name, "Changes: " + rep.changes);
  if (!opts.quiet) {
    char secs[32];
    std::snprintf(secs, sizeof secs, "%.2f", progress.seconds());
    std::fprintf(stderr, "tabulon: %lld case%s, %d variable%s written to %s in %s s%s\n",
                 static_cast<long long>(moved), moved == 1 ? "" : "s", variables, variables == 1 ? "" : "s",
                 out_name.c_str(), secs,
                 rep.warnings ? (" with " + std::to_string(rep.warnings) + " warning" + (rep.warnings == 1 ? "" : "s")).c_str() : "");
  }
  return kExitOk;
}

}  // namespace cli
