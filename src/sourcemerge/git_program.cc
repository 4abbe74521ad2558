#include "sourcemerge/git_program.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string_view>
#include <utility>

namespace vornik::sourcemerge::engine {
namespace {

// The search path of exec without PATH, which is also the host's `os.defpath`.
constexpr const char* kDefaultSearchPath = "/bin:/usr/bin";

// The git releases whose `git merge-file` the engine was held to, triple by triple, with no
// difference found. Any other release merges through `_merge_source` until it is compared too.
constexpr std::pair<int, int> kProvenReleases[] = {
    {2, 34}, {2, 35}, {2, 36}, {2, 37}, {2, 38}, {2, 39}, {2, 40}, {2, 41},
    {2, 42}, {2, 43}, {2, 44}, {2, 45}, {2, 46}, {2, 47}, {2, 48}, {2, 49},
    {2, 50}, {2, 51}, {2, 52}, {2, 53}, {2, 54}, {2, 55}};

std::optional<Program> program_at(std::string path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode) ||
      ::access(path.c_str(), X_OK) != 0) {
    return std::nullopt;
  }
  Program program;
  program.path = std::move(path);
  program.device = status.st_dev;
  program.inode = status.st_ino;
  program.size = status.st_size;
  program.modified = status.st_mtim;
  program.changed = status.st_ctim;
  return program;
}

bool same_time(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// posix_spawn's attributes and file actions, released on every path out.
class SpawnSetup {
 public:
  SpawnSetup()
      : attributes_ok_(posix_spawnattr_init(&attributes_) == 0),
        actions_ok_(posix_spawn_file_actions_init(&actions_) == 0),
        ok_(attributes_ok_ && actions_ok_) {}
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
  SpawnSetup(SpawnSetup&&) = delete;
  SpawnSetup& operator=(SpawnSetup&&) = delete;
  ~SpawnSetup() {
    if (actions_ok_) posix_spawn_file_actions_destroy(&actions_);
    if (attributes_ok_) posix_spawnattr_destroy(&attributes_);
  }

  bool ok() const { return ok_; }
  posix_spawnattr_t* attributes() { return &attributes_; }
  posix_spawn_file_actions_t* actions() { return &actions_; }
  void require(bool done) { ok_ = ok_ && done; }

 private:
  posix_spawnattr_t attributes_{};
  posix_spawn_file_actions_t actions_{};
  bool attributes_ok_;
  bool actions_ok_;
  bool ok_;
};

}  // namespace

bool Program::same_file(const Program& other) const {
  return path == other.path && device == other.device && inode == other.inode &&
         size == other.size && same_time(modified, other.modified) &&
         same_time(changed, other.changed);
}

std::optional<Program> find_program(const std::string& name) {
  if (name.empty()) return std::nullopt;
  if (name.find('/') != std::string::npos) return program_at(name);
  const char* search = std::getenv("PATH");
  std::string_view rest = search != nullptr ? search : kDefaultSearchPath;
  while (true) {
    const size_t colon = rest.find(':');
    std::string_view directory = rest.substr(0, colon);
    std::string candidate(directory);
    if (!candidate.empty() && candidate.back() != '/') candidate += '/';
    candidate += name;
    if (auto program = program_at(std::move(candidate))) return program;
    if (colon == std::string_view::npos) return std::nullopt;
    rest.remove_prefix(colon + 1);
  }
}

Child::Child(Child&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), output_(std::exchange(other.output_, -1)) {}

Child::~Child() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    finish();
  }
  if (output_ >= 0) ::close(output_);
}

bool Child::start(const std::string& program, std::vector<std::string> argv,
                  std::vector<std::string> environment, bool capture_output,
                  const sigset_t* signal_mask) {
  int pipe_ends[2] = {-1, -1};
  if (capture_output && ::pipe2(pipe_ends, O_CLOEXEC) != 0) return false;
  SpawnSetup setup;
  // What the host's process start resets for its children.
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGXFSZ);
  setup.require(posix_spawnattr_setsigdefault(setup.attributes(), &defaults) == 0);
  short flags = POSIX_SPAWN_SETSIGDEF;
  if (signal_mask != nullptr) {
    setup.require(posix_spawnattr_setsigmask(setup.attributes(), signal_mask) == 0);
    flags |= POSIX_SPAWN_SETSIGMASK;
  }
  setup.require(posix_spawnattr_setflags(setup.attributes(), flags) == 0);
  setup.require(posix_spawn_file_actions_addopen(setup.actions(), 0, "/dev/null", O_RDONLY, 0) ==
                0);
  if (capture_output) {
    setup.require(posix_spawn_file_actions_adddup2(setup.actions(), pipe_ends[1], 1) == 0);
  } else {
    setup.require(posix_spawn_file_actions_addopen(setup.actions(), 1, "/dev/null", O_WRONLY, 0) ==
                  0);
  }
  setup.require(posix_spawn_file_actions_addopen(setup.actions(), 2, "/dev/null", O_WRONLY, 0) ==
                0);

  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (std::string& arg : argv) args.push_back(arg.data());
  args.push_back(nullptr);
  std::vector<char*> env;
  env.reserve(environment.size() + 1);
  for (std::string& entry : environment) env.push_back(entry.data());
  env.push_back(nullptr);

  pid_t pid = -1;
  const bool started = setup.ok() && posix_spawn(&pid, program.c_str(), setup.actions(),
                                                 setup.attributes(), args.data(), env.data()) == 0;
  if (capture_output) {
    ::close(pipe_ends[1]);
    if (started) {
      output_ = pipe_ends[0];
    } else {
      ::close(pipe_ends[0]);
    }
  }
  if (started) pid_ = pid;
  return started;
}

void Child::drain(std::string* output) {
  if (output_ < 0) return;
  char buffer[4096];
  while (true) {
    const ssize_t count = ::read(output_, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    if (output != nullptr) output->append(buffer, static_cast<size_t>(count));
  }
  ::close(std::exchange(output_, -1));
}

void Child::wait_exit() const {
  if (pid_ <= 0) return;
  siginfo_t info{};
  while (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) != 0 &&
         errno == EINTR) {
  }
}

std::optional<int> Child::finish(std::string* output) {
  drain(output);
  if (pid_ <= 0) return std::nullopt;
  int status = 0;
  pid_t waited = -1;
  do {
    waited = ::waitpid(pid_, &status, 0);
  } while (waited < 0 && errno == EINTR);
  pid_ = -1;
  if (waited < 0 || !WIFEXITED(status)) return std::nullopt;
  return WEXITSTATUS(status);
}

std::vector<std::string> git_environment() {
  std::vector<std::string> environment;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    std::string_view text(*entry);
    if (text.starts_with("LANGUAGE=") || text.starts_with("LC_ALL=")) continue;
    environment.emplace_back(text);
  }
  environment.emplace_back("LANGUAGE=C");
  environment.emplace_back("LC_ALL=C");
  return environment;
}

std::optional<std::pair<int, int>> parse_git_version(const std::string& text) {
  constexpr std::string_view kPrefix = "git version ";
  if (!text.starts_with(kPrefix)) return std::nullopt;
  const char* at = text.data() + kPrefix.size();
  const char* end = text.data() + text.size();
  int numbers[3] = {0, 0, 0};
  for (int index = 0; index < 3; ++index) {
    auto [next, error] = std::from_chars(at, end, numbers[index]);
    if (error != std::errc() || next == at) return std::nullopt;
    at = next;
    if (index < 2) {
      if (at == end || *at != '.') return std::nullopt;
      ++at;
    }
  }
  if (at != end && *at != '.' && *at != '\n' && *at != ' ') return std::nullopt;
  return std::make_pair(numbers[0], numbers[1]);
}

bool proven_git_release(std::pair<int, int> release) {
  return std::ranges::find(kProvenReleases, release) != std::end(kProvenReleases);
}

}  // namespace vornik::sourcemerge::engine
