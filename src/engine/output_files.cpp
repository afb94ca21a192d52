#include "engine/output_files.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "api/call_frame.h"
#include "api/env_record.h"

namespace tabulon {

namespace {

// Temporary files still open anywhere in the process, kept in plain fixed storage so that a
// signal handler may remove them (unlink is async-signal-safe; nothing here allocates).
constexpr int kMaxTemps = 64;
char g_temp_paths[kMaxTemps][PATH_MAX];
std::atomic<int> g_temp_used[kMaxTemps];

int remember_temp(const std::string& path) {
  if (path.size() >= PATH_MAX) return -1;
  for (int i = 0; i < kMaxTemps; ++i) {
    int expected = 0;
    if (g_temp_used[i].compare_exchange_strong(expected, 2)) {  // 2: being filled in
      std::memcpy(g_temp_paths[i], path.c_str(), path.size() + 1);
      g_temp_used[i].store(1);
      return i;
    }
  }
  return -1;
}

void forget_temp(int slot) {
  if (slot >= 0) g_temp_used[slot].store(0);
}

std::string directory_of(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string base_of(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

mode_t creation_mode() {
  mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

}  // namespace

OutputFiles::OutputFiles(OutputFiles&& other) noexcept
    : files_(std::move(other.files_)), started_(other.started_), main_direct_(other.main_direct_) {
  other.files_.clear();
  other.started_ = other.main_direct_ = false;
}

OutputFiles& OutputFiles::operator=(OutputFiles&& other) noexcept {
  if (this != &other) {
    discard();
    files_ = std::move(other.files_);
    started_ = other.started_;
    main_direct_ = other.main_direct_;
    other.files_.clear();
    other.started_ = other.main_direct_ = false;
  }
  return *this;
}

std::string OutputFiles::add(const std::string& given, bool& direct) {
  direct = false;
  std::string target = given;
  struct stat st;
  if (lstat(given.c_str(), &st) == 0) {
    // A link is followed, so that the file it names is replaced and the link kept.
    if (S_ISLNK(st.st_mode)) {
      char resolved[PATH_MAX];
      if (realpath(given.c_str(), resolved)) target = resolved;
    }
    if (stat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      // A directory in the way: opening it for writing fails, and the writer says so.
      files_.push_back({target, std::string(), -1});
      return given;
    }
    if (stat(target.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
      direct = true;  // a device or pipe is written as it is
      return given;
    }
  }
  mode_t mode = stat(target.c_str(), &st) == 0 ? (st.st_mode & 07777) : creation_mode();
  std::string name = directory_of(target) + "/." + base_of(target) + ".tabulon-XXXXXX";
  std::vector<char> templ(name.begin(), name.end());
  templ.push_back('\0');
  int fd = mkstemp(templ.data());
  if (fd < 0) {
    // No room for a second name in the directory (no write permission there, say): the
    // target is written in place, as it was before there were temporary files.
    files_.push_back({target, std::string(), -1});
    return given;
  }
  fchmod(fd, mode);
  close(fd);
  std::string temp(templ.data());
  files_.push_back({target, temp, remember_temp(temp)});
  return temp;
}

std::string OutputFiles::begin_main(const std::string& target) {
  discard();
  started_ = true;
  main_direct_ = target == "stdout" || target == "-";
  if (main_direct_) return target;
  bool direct = false;
  std::string path = add(target, direct);
  main_direct_ = direct;
  return path;
}

std::string OutputFiles::side_file(const std::string& target) {
  if (!started_) {
    // A writer used on its own (a unit test, a tool) writes its side file in place.
    return target;
  }
  if (main_direct_) return std::string();
  bool direct = false;
  std::string path = add(target, direct);
  return direct ? std::string() : path;
}

bool OutputFiles::commit(std::string& failed) {
  bool ok = true;
  for (Pending& p : files_) {
    if (p.temp.empty()) continue;
    if (ok && std::rename(p.temp.c_str(), p.target.c_str()) != 0) {
      ok = false;
      failed = p.target;
    }
    if (!ok) unlink(p.temp.c_str());
    forget_temp(p.slot);
  }
  files_.clear();
  started_ = main_direct_ = false;
  return ok;
}

void OutputFiles::discard() noexcept {
  for (Pending& p : files_) {
    if (p.temp.empty()) {
      // Written in place: a half-written regular file is no use to anyone.
      struct stat st;
      if (stat(p.target.c_str(), &st) == 0 && S_ISREG(st.st_mode)) unlink(p.target.c_str());
      continue;
    }
    unlink(p.temp.c_str());
    forget_temp(p.slot);
  }
  files_.clear();
  started_ = main_direct_ = false;
}

bool engine_same_file(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  if (stat(a.c_str(), &sa) != 0 || stat(b.c_str(), &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

std::string engine_side_file(EnvRecord& env, const std::string& target) {
  return env.transfer.outputs.side_file(target);
}

std::string engine_output_write_path(EnvRecord& env) {
  return env.transfer.output_write_path.empty() ? env.transfer.output_path : env.transfer.output_write_path;
}

}  // namespace tabulon

// Async-signal-safe: removes the temporary files of every unfinished transfer in the process.
DX_EXPORT void dxi_remove_partial_outputs(void) {
  for (int i = 0; i < tabulon::kMaxTemps; ++i)
    if (tabulon::g_temp_used[i].load() == 1) unlink(tabulon::g_temp_paths[i]);
}
