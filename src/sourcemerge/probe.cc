#include "sourcemerge/probe.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <system_error>
#include <utility>

#include "host/files.h"
#include "host/system.h"
#include "host/threads.h"

namespace vornik::sourcemerge::engine {
namespace {

constexpr const char* kSideNames[] = {"current", "base", "incoming"};

bool write_file(const std::string& path, std::string_view text) {
  host::FileDescriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  return file.get() >= 0 && host::write_all(file.get(), text) == 0 && file.close() == 0;
}

std::optional<std::string> read_file(const std::string& path) {
  host::FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  std::string bytes;
  if (file.get() < 0 || host::read_all(file.get(), bytes) != 0) return std::nullopt;
  return bytes;
}

}  // namespace

ProbeRun::ProbeRun(ProbeRequest request)
    : request_(std::move(request)), environment_(git_environment()), held_(request_.held) {
  if (::pipe2(done_, O_CLOEXEC) != 0) {
    done_[0] = done_[1] = -1;
    return;  // no way to wait for it: no run
  }
  try {
    thread_ = host::quiet_thread([this] { run(); }, &child_mask_);
  } catch (const std::system_error&) {
    pthread_sigmask(SIG_SETMASK, nullptr, &child_mask_);
    // No thread: the run happens here and now, unless it is to wait, which it cannot.
    if (held_) {
      publish();
    } else {
      run();
    }
  }
}

void ProbeRun::go() {
  {
    const std::lock_guard<std::mutex> guard(lock_);
    held_ = false;
  }
  changed_.notify_one();
}

bool ProbeRun::released() {
  std::unique_lock<std::mutex> guard(lock_);
  changed_.wait(guard, [this] { return !held_ || stopped_; });
  return !stopped_;
}

ProbeRun::~ProbeRun() {
  stop();
  join();
  for (int fd : done_) {
    if (fd >= 0) ::close(fd);
  }
}

std::string ProbeRun::path(std::size_t side) const {
  return request_.directory + '/' + kSideNames[side];
}

void ProbeRun::run() noexcept {
  try {
    run_in_directory();
  } catch (...) {
    // Out of memory: the outcome says git did not run.
    outcome_ = ProbeOutcome();
  }
  publish();
}

void ProbeRun::publish() noexcept {
  if (published_.exchange(true, std::memory_order_release)) return;
  if (done_[1] >= 0) ::close(std::exchange(done_[1], -1));
}

void ProbeRun::run_in_directory() {
  if (::mkdir(request_.directory.c_str(), 0700) != 0) return;
  host::TemporaryPath directory;  // removed last
  directory.hold(request_.directory, host::TemporaryPath::Kind::kDirectory);
  const std::array<std::string, 3> paths = {path(0), path(1), path(2)};
  bool written = true;
  for (std::size_t side = 0; side < 3 && written; ++side) {
    written = write_file(paths[side], request_.texts[side]);
  }
  if (written && released()) run_processes(paths);
  // The outcome is complete: the waiting thread goes on while the directory is removed.
  publish();
  for (const std::string& file : paths) ::unlink(file.c_str());
}

void ProbeRun::run_processes(const std::array<std::string, 3>& paths) {
  Child version;
  Child merge;
  const std::string& argv0 = request_.argv0;
  if (request_.ask_version && !start(version, 0, {argv0, "version"}, true)) return;
  if (!start(merge, 1, {argv0, "merge-file", paths[0], paths[1], paths[2]}, false)) return;
  outcome_.ran = true;
  outcome_.merge_status = reap(merge, 1, nullptr);
  if (request_.ask_version) {
    outcome_.version_status = reap(version, 0, &outcome_.version_text);
  }
  outcome_.written = read_file(paths[0]);
}

bool ProbeRun::start(Child& child, int slot, std::vector<std::string> argv, bool capture) {
  const std::lock_guard<std::mutex> guard(lock_);
  if (stopped_) return false;
  if (!child.start(request_.program.path, std::move(argv), environment_, capture, &child_mask_)) {
    return false;
  }
  live_[slot] = child.pid();
  return true;
}

std::optional<int> ProbeRun::reap(Child& child, int slot, std::string* output) {
  child.drain(output);
  child.wait_exit();
  {
    const std::lock_guard<std::mutex> guard(lock_);
    live_[slot] = -1;
  }
  return child.finish();
}

void ProbeRun::stop() noexcept {
  {
    const std::lock_guard<std::mutex> guard(lock_);
    stopped_ = true;
    // Not yet reaped, so each pid is still that child's.
    for (pid_t pid : live_) {
      if (pid > 0) ::kill(pid, SIGKILL);
    }
  }
  changed_.notify_one();
}

void ProbeRun::join() noexcept {
  if (thread_.joinable()) thread_.join();
}

const ProbeOutcome& ProbeRun::outcome() {
  while (done_[0] >= 0 && thread_.joinable()) {
    int ready = 0;
    int error = 0;
    {
      host::WithoutLock unlocked;
      pollfd done{done_[0], POLLIN, 0};
      ready = ::poll(&done, 1, -1);
      error = errno;
    }
    if (ready >= 0 || error != EINTR) break;
    if (PyErr_CheckSignals() != 0) {
      stop();
      host::WithoutLock unlocked;
      join();
      host::throw_error_set();
    }
  }
  if (!published_.load(std::memory_order_acquire)) {
    host::WithoutLock unlocked;
    join();
  }
  return outcome_;
}

}  // namespace vornik::sourcemerge::engine
