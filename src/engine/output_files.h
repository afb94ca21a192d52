// The files a transfer writes (the output and its side files: .SCH descriptions, programs,
// PROC FORMAT programs) are written under temporary names in their own directories and
// renamed over their targets only when the files close successfully. A failed or cut-short
// transfer, a crash or a signal never leaves a half-written file where the user expects a
// whole one, and the file it would have replaced stays as it was.
#pragma once

#include <string>
#include <vector>

namespace tabulon {

struct EnvRecord;

class OutputFiles {
 public:
  OutputFiles() = default;
  ~OutputFiles() { discard(); }
  OutputFiles(OutputFiles&& other) noexcept;
  OutputFiles& operator=(OutputFiles&& other) noexcept;
  OutputFiles(const OutputFiles&) = delete;
  OutputFiles& operator=(const OutputFiles&) = delete;

  // Starts the main output. Returns the path to create: a temporary name beside the target,
  // or the target itself when it is standard output or not a regular file (a device, a pipe).
  std::string begin_main(const std::string& target);
  // The path a side file of the output is to be written to, or "" when the output has no
  // side files (it is standard output or a device).
  std::string side_file(const std::string& target);
  // True when the main output goes straight to its target (stdout, a device).
  bool main_is_direct() const { return main_direct_; }
  // False when no output was begun here (a writer driven on its own opened its file itself).
  bool started() const { return started_; }

  // Renames every temporary file over its target. On failure the name that could not be
  // replaced is in `failed` and the remaining temporary files are removed.
  bool commit(std::string& failed);
  // Removes every temporary file; the targets are left as they were.
  void discard() noexcept;

 private:
  struct Pending {
    std::string target;  // links resolved
    std::string temp;    // empty: written in place
    int slot = -1;       // in the signal-safe list
  };
  std::string add(const std::string& target, bool& direct);
  std::vector<Pending> files_;
  bool started_ = false;
  bool main_direct_ = false;
};

// True when both paths name the same file (same device and inode, links followed).
bool engine_same_file(const std::string& a, const std::string& b);

// The path the side file `target` of the current output is written to (see OutputFiles).
std::string engine_side_file(EnvRecord& env, const std::string& target);
// The path an output that creates its own container must create (the temporary name).
std::string engine_output_write_path(EnvRecord& env);

}  // namespace tabulon
