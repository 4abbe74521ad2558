// The run of the probe that tells how `git merge-file` writes a conflict here: a fresh
// directory, three small files in it, git run on them (and asked its version, when wanted),
// the text git left in the current file, and the directory removed. All of it runs on a thread
// of its own, so that the thread that starts it waits for nothing until it needs the outcome.
#pragma once

#include <sys/types.h>
#include <csignal>

#include <array>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "host/ref.h"
#include "sourcemerge/git_program.h"

namespace vornik::sourcemerge::engine {

struct ProbeRequest {
  std::string directory;  // the directory to make, absolute, as the file system spells it
  std::array<std::string_view, 3> texts;  // current, base, incoming (static text)
  Program program;
  std::string argv0;  // the executable's name as GitPython passes it
  bool ask_version = false;
  // Makes the directory and its files, then waits for go() before it starts git.
  bool held = false;
};

struct ProbeOutcome {
  bool ran = false;  // the directory and its files were made and git was started
  std::optional<int> merge_status;
  std::optional<int> version_status;  // when asked
  std::string version_text;
  std::optional<std::string> written;  // the current file after git; none when unreadable
};

class ProbeRun {
 public:
  // Starts the run. Holds no host object; may be made with or without the host's lock.
  explicit ProbeRun(ProbeRequest request);
  VORNIK_PINNED(ProbeRun);
  // Unfinished: kills the processes and waits for the thread, which reaps them and removes the
  // directory.
  ~ProbeRun();

  // Lets a held run start git.
  void go();
  // Stops the run: the processes are killed, or never started; the directory is removed on the
  // run's thread, which the destructor waits for.
  void stop() noexcept;

  const ProbeRequest& request() const { return request_; }
  // The path of one of the files ("current", "base" or "incoming").
  std::string path(std::size_t side) const;

  // Waits for the outcome, the host's lock released (it must be held); the directory may still
  // be being removed then. A signal that interrupts the wait is handed to the host; when its
  // handler raises, the error is set, the run is stopped and ErrorAlreadySet is thrown.
  const ProbeOutcome& outcome();

 private:
  void run() noexcept;
  void run_in_directory();
  // Tells the waiting thread that the outcome is complete.
  void publish() noexcept;
  void run_processes(const std::array<std::string, 3>& paths);
  // Starts `child` unless the run was stopped; remembers it as one to kill.
  bool start(Child& child, int slot, std::vector<std::string> argv, bool capture);
  // Waits until `child` has exited, then reaps it; it is not killed any more from then on.
  std::optional<int> reap(Child& child, int slot, std::string* output);
  // Waits while the run is held; false when it was stopped instead.
  bool released();
  void join() noexcept;

  ProbeRequest request_;
  std::vector<std::string> environment_;
  sigset_t child_mask_{};  // the starting thread's signal mask, which the children get
  ProbeOutcome outcome_;
  std::mutex lock_;  // guards held_, stopped_ and live_
  std::condition_variable changed_;
  bool held_;
  bool stopped_ = false;
  pid_t live_[2] = {-1, -1};  // started and not yet reaped
  std::atomic<bool> published_{false};
  int done_[2] = {-1, -1};  // a pipe whose write end the run closes once the outcome is complete
  std::thread thread_;
};

}  // namespace vornik::sourcemerge::engine
