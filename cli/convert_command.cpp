// tabulon convert IN OUT
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "commands.h"
#include "format_choice.h"
#include "progress.h"
#include "session.h"
#include "tabulon/tabulon.h"

namespace cli {

namespace {

bool directory_exists_for(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return true;
  std::string dir = slash == 0 ? "/" : path.substr(0, slash);
  struct stat st;
  return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

int run_convert(const CliOptions& opts) {
  const DatabaseSource in_db = database_source(opts.files[0]);
  const DatabaseSource out_db = database_source(opts.files[1]);
  const std::string& in = in_db.is_database ? in_db.connection : opts.files[0];
  const std::string& out = out_db.is_database ? out_db.connection : opts.files[1];
  std::string error;

  if (in_db.is_database) {
    // A database table: checked when the driver connects.
  } else if (access(in.c_str(), F_OK) != 0) {
    std::fprintf(stderr, "Error:\tinput file '%s' does not exist\n", in.c_str());
    return kExitFailure;
  }
  if (!in_db.is_database && access(in.c_str(), R_OK) != 0) {
    std::fprintf(stderr, "Error:\tinput file '%s' cannot be read\n", in.c_str());
    return kExitFailure;
  }
  int in_code = in_db.is_database ? kOdbcCode
                : opts.from.empty() ? format_from_path(in, false, error)
                                    : format_from_user(opts.from, false, error);
  if (in_code < 0) {
    std::fprintf(stderr, "tabulon: %s\n", error.c_str());
    return kExitUsage;
  }
  int out_code = out_db.is_database ? kOdbcCode
                 : opts.to.empty() ? format_from_path(out, true, error)
                                   : format_from_user(opts.to, true, error);
  if (out_code < 0) {
    std::fprintf(stderr, "tabulon: %s\n", error.c_str());
    return kExitUsage;
  }
  if (out_db.is_database && opts.member.empty()) {
    std::fprintf(stderr, "tabulon: name the table to write with --member\n");
    return kExitUsage;
  }
  if (!out_db.is_database && !directory_exists_for(out)) {
    std::fprintf(stderr, "Error:\tthe directory of the output file '%s' does not exist\n", out.c_str());
    return kExitFailure;
  }

  Session session(opts);
  if (!session.ok()) {
    std::fprintf(stderr, "Error:\tthe library could not open an environment (code %d)\n", session.env());
    return kExitFailure;
  }
  if (!session.set_keywords(opts.sets, error)) {
    std::fprintf(stderr, "tabulon: %s\n", error.c_str());
    return kExitUsage;
  }
  session.apply_options(out_code);
  int32_t env = session.env();
  if (opts.programs) DX_SetOption(env, DX_OPT_PROGRAM_MASK, opts.programs, nullptr);

  // With a database output, --member names the table to write (the input's member when both are).
  if (out_db.is_database) DX_DBSetParm(env, 2, kDbParmTable, opts.member.c_str());
  if (DX_OpenInputFile(env, in_code, in.c_str()) < 0) return session.fail("cannot open " + opts.files[0]);
  if (DX_FormatHasMembers(env) == 1) {
    if (DX_ReadMembers(env) < 1) return session.fail("no member to read in " + in);
    const bool pick = !opts.member.empty() && (!out_db.is_database || in_db.is_database);
    int32_t rc = pick ? DX_SetMember(env, opts.member.c_str()) : DX_SetFirstMember(env);
    if (rc < 0) return session.fail("member '" + opts.member + "' not found");
  }
  int32_t nvars = DX_ReadDict(env);
  if (nvars < 0) return session.fail("cannot read the dictionary of " + in);
  DX_SelectAllVars(env);
  for (const std::string& list : opts.keeps)
    if (DX_DoVarSelect(env, list.c_str(), 2, 1) == 0) return session.fail("bad --keep list");
  for (const std::string& list : opts.drops)
    if (DX_DoVarSelect(env, list.c_str(), 1, 0) == 0) return session.fail("bad --drop list");
  if (!opts.where.empty() && DX_ParseWhere(env, opts.where.c_str(), 1) != 0)
    return session.fail("bad --where expression");

  bool optimize = opts.optimize_given ? opts.optimize : session.keyword_yes("auto-optimize");
  if (optimize) {
    // Exact floats only, and no variable is dropped for being constant.
    if (DX_OptimizeInitEx(env, out_code, 1) < 0 || DX_OptimizeDo(env, 0) < 0)
      return session.fail("the optimization pass failed");
  }

  int32_t open_rc = DX_OpenOutFile(env, out_code, out.c_str());
  if (open_rc == -6) {
    // The confirm callback said no: the file is left as it was.
    std::fprintf(stderr, "Error:\toutput file '%s' exists; use -y to replace it\n", out.c_str());
    return kExitFailure;
  }
  if (open_rc < 0) return session.fail("cannot open " + out);

  bool tty = isatty(STDERR_FILENO) && !opts.quiet;
  Progress progress(tty);
  int64_t moved = 0;
  for (;;) {
    int32_t n = DX_TransferNRecords(env, 4096);
    if (n < 0) {
      progress.finish();
      return session.fail("the transfer failed");
    }
    moved += n;
    progress.update(moved, DX_GetPercentTransferred(env));
    if (n < 4096) break;
  }
  progress.finish();
  int32_t variables = 0;
  for (int32_t i = 0; i < nvars; ++i)
    if (DX_GetVarSelect(env, i) == 1) ++variables;
  int32_t rc = DX_CloseFiles(env);
  if (rc < 0 || rc == 17584) return session.fail("closing the files failed");
  if ((tty || opts.verbose) && !opts.quiet)
    std::fprintf(stderr, "%lld cases, %d variables written to %s in %.2f s\n", static_cast<long long>(moved),
                 variables, out.c_str(), progress.seconds());
  return kExitOk;
}

}  // namespace cli
