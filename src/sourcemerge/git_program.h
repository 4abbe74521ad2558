// The git program as GitPython would start it: found along PATH the way the host's process
// start finds it, run as a child with the host's environment, and its version.
#pragma once

#include <sys/types.h>
#include <csignal>

#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace vornik::sourcemerge::engine {

// A program file found for execution, with what changes whenever the file is replaced.
struct Program {
  std::string path;  // what to pass to exec: relative to the working directory or absolute
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};
  timespec changed{};

  bool same_file(const Program& other) const;
};

// Finds `name` the way exec with a PATH search does: a name holding '/' is taken as it is,
// anything else is looked for in the directories of PATH (the default search path without
// one), the first executable regular file winning.
std::optional<Program> find_program(const std::string& name);

// One child process: its standard input and error are /dev/null, its output goes to a pipe
// (read by finish) or to /dev/null. The environment is the host's, with the locale variables
// that GitPython sets for git. Must not touch host objects: it runs without the host's lock.
class Child {
 public:
  Child() = default;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  Child(Child&& other) noexcept;
  Child& operator=(Child&&) = delete;
  ~Child();

  // Starts `program` with `argv` (argv[0] included); false when it could not be started.
  // `signal_mask`: the child's, where it is not the calling thread's.
  bool start(const std::string& program, std::vector<std::string> argv,
             std::vector<std::string> environment, bool capture_output,
             const sigset_t* signal_mask = nullptr);

  pid_t pid() const { return pid_; }
  // Reads what the child writes until it closes its output, retrying interrupted reads.
  void drain(std::string* output);
  // Waits until the child has exited, without reaping it: its pid stays its own until finish.
  void wait_exit() const;

  // Waits for the child (retrying interrupted waits) and reaps it; its exit code, or none when
  // it did not exit normally (or was never started). `output` receives what it wrote when the
  // output was captured.
  std::optional<int> finish(std::string* output = nullptr);

 private:
  pid_t pid_ = -1;
  int output_ = -1;
};

// The host's environment as GitPython hands it to git: LANGUAGE and LC_ALL set to "C".
std::vector<std::string> git_environment();

// "2.39" for the text "git version 2.39.5\n" (and platform suffixes after the third number);
// none for anything else.
std::optional<std::pair<int, int>> parse_git_version(const std::string& text);

// Whether `git merge-file` of this release (major, minor) was compared with the engine, in
// every conflict style and every place a merge runs, and gave the very same lines.
bool proven_git_release(std::pair<int, int> release);

}  // namespace vornik::sourcemerge::engine
