// Replacing a file so that readers, and the file after a crash, hold either the old or the new
// content. All file system work runs without the host's lock and reports an errno value; only
// the caller, holding the lock again, turns it into the host's OSError.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <string>
#include <system_error>
#include <utility>

#include "host/files.h"
#include "host/system.h"
#include "host/threads.h"
#include "json/document.h"

namespace vornik::json {
namespace {

using host::FileDescriptor;
using host::TemporaryPath;
using host::WithoutLock;

// Symbolic links followed before giving up, as the kernel does for a path.
constexpr int kMaxLinks = 40;
// Attempts at a temporary name that nobody else holds.
constexpr int kMaxAttempts = 100;
// Keeps `.<name>.<16 random characters>.tmp` within the usual 255-byte limit on a name.
constexpr size_t kMaxNameInTemporary = 200;
constexpr size_t kRandomLength = 16;

int sync(int fd) {
  while (::fsync(fd) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

// Follows symbolic links in the last component of `path` until it names something that is
// not a link, or nothing yet. `exists` and `st` describe what it names.
int resolve(std::string& path, struct stat& st, bool& exists) {
  for (int links = 0;; ++links) {
    if (::lstat(path.c_str(), &st) != 0) {
      if (errno != ENOENT) return errno;
      exists = false;  // a dangling link: the file is created where it points, as open() does
      return 0;
    }
    if (!S_ISLNK(st.st_mode)) {
      exists = true;
      return 0;
    }
    if (links == kMaxLinks) return ELOOP;
    std::string target(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
    for (;;) {
      ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
      if (length < 0) return errno;
      if (static_cast<size_t>(length) < target.size()) {
        target.resize(static_cast<size_t>(length));
        break;
      }
      target.resize(target.size() * 2);  // the link changed under us and grew
    }
    if (target.empty()) return ENOENT;
    // A relative link is relative to the directory holding it.
    size_t slash = path.rfind('/');
    if (target.front() == '/' || slash == std::string::npos) {
      path = std::move(target);
    } else {
      path.resize(slash + 1);
      path += target;
    }
  }
}

struct InPlace {
  int error;
  bool opened;
};

// Writes over the file itself, for a directory that refuses new files. The old content is
// kept in memory and put back should the write fail part way.
InPlace write_in_place(const std::string& target, std::string_view content, bool regular) {
  if (!regular) {
    // A device or pipe takes the bytes as a stream, as from open(): nothing to truncate or
    // restore, and a pipe is only written once a reader has it open.
    FileDescriptor fd(::open(target.c_str(), O_WRONLY | O_CLOEXEC));
    if (fd.get() < 0) return {errno, false};
    int error = host::write_all(fd.get(), content);
    int closed = fd.close();
    return {error != 0 ? error : closed, true};
  }
  FileDescriptor fd(::open(target.c_str(), O_RDWR | O_CLOEXEC));
  bool readable = fd.get() >= 0;
  if (!readable && errno == EACCES) fd.reset(::open(target.c_str(), O_WRONLY | O_CLOEXEC));
  if (fd.get() < 0) return {errno, false};
  std::string original;
  struct stat st {};
  bool restorable = readable && ::fstat(fd.get(), &st) == 0 &&
                    host::read_all(fd.get(), original, static_cast<size_t>(st.st_size)) == 0;
  int error = host::write_all_at(fd.get(), content, 0);
  if (error == 0 && ::ftruncate(fd.get(), static_cast<off_t>(content.size())) != 0) error = errno;
  if (error == 0) error = sync(fd.get());
  if (error != 0 && restorable) {
    if (host::write_all_at(fd.get(), original, 0) == 0 &&
        ::ftruncate(fd.get(), static_cast<off_t>(original.size())) == 0) {
      sync(fd.get());
    }
  }
  int closed = fd.close();
  return {error != 0 ? error : closed, true};
}

void sync_directory(const std::string& directory) {
  FileDescriptor fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  // Best effort: the rename has happened; some file systems cannot sync a directory.
  if (fd.get() >= 0) sync(fd.get());
}

// A replacement in two steps: the new content written and synced into a temporary file beside
// the target, which nobody sees yet, then put in place. Where the target is no regular file,
// or its directory refuses a new file, the content is written in place instead, and all of
// that waits for the second step.
class Replacement {
 public:
  Replacement(std::string target, std::string_view content)
      : target_(std::move(target)), content_(content), error_(stage()) {}
  VORNIK_PINNED(Replacement);
  ~Replacement() = default;  // an uncommitted temporary file goes with its holder

  // Puts the content in place; the errno value of the first failure, or 0.
  int commit() {
    if (error_ != 0) return error_;
    if (in_place_) {
      InPlace written = write_in_place(target_, content_, regular_);
      // When the file cannot be opened either, the directory's refusal is the first cause.
      return written.opened || refusal_ == 0 ? written.error : refusal_;
    }
    if (::rename(temporary_.path().c_str(), target_.c_str()) != 0) {
      const int error = errno;
      // A sticky directory lets its users write each other's files but not replace them.
      if (error != EPERM && error != EACCES) return error;
      ::unlink(temporary_.path().c_str());
      temporary_.keep();
      InPlace written = write_in_place(target_, content_, true);
      return written.opened ? written.error : error;
    }
    temporary_.keep();
    sync_directory(directory_);
    return 0;
  }

 private:
  int stage() {
    struct stat st {};
    bool exists = false;
    if (int error = resolve(target_, st, exists)) return error;
    if (exists && S_ISDIR(st.st_mode)) return EISDIR;
    size_t slash = target_.rfind('/');
    directory_ = slash == std::string::npos ? "." : target_.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? target_ : target_.substr(slash + 1);
    if (name.empty()) return EISDIR;  // "missing/": open() refuses it the same way
    // Replacing what open() could not write would defeat the file's protection.
    if (exists && ::faccessat(AT_FDCWD, target_.c_str(), W_OK, AT_EACCESS) != 0) return errno;
    if (exists && !S_ISREG(st.st_mode)) {
      in_place_ = true;
      regular_ = false;
      return 0;
    }
    FileDescriptor fd;
    int error = 0;
    std::string stem = directory_ + "." + name.substr(0, kMaxNameInTemporary) + ".";
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
      std::string path = stem + host::random_name(kRandomLength) + ".tmp";
      // Private until its permission bits are set; a new file gets open()'s 0666 less umask.
      fd.reset(::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, exists ? 0600 : 0666));
      if (fd.get() >= 0) {
        temporary_.hold(std::move(path), TemporaryPath::Kind::kFile);
        break;
      }
      error = errno;
      if (error != EEXIST && error != EINTR) break;
    }
    if (fd.get() < 0) {
      if ((error == EACCES || error == EPERM) && exists) {
        in_place_ = true;
        refusal_ = error;
        return 0;
      }
      return error;
    }
    error = host::write_all(fd.get(), content_);
    if (error == 0 && exists) {
      // Owner first: a change of owner clears the set-id bits that fchmod then restores.
      if (::fchown(fd.get(), st.st_uid, st.st_gid) != 0 && errno != EPERM) error = errno;
      if (error == 0 && ::fchmod(fd.get(), st.st_mode & 07777) != 0) error = errno;
    }
    if (error == 0) error = sync(fd.get());
    int closed = fd.close();
    return error != 0 ? error : closed;
  }

  std::string target_;
  std::string_view content_;
  std::string directory_;
  TemporaryPath temporary_;
  bool in_place_ = false;
  bool regular_ = true;
  int refusal_ = 0;  // the directory's refusal of a new file, when it refused
  int error_;        // of staging; last, as staging sets the members above
};

int replace(std::string target, std::string_view content) {
  return Replacement(std::move(target), content).commit();
}

}  // namespace

FileWrite::FileWrite(host::Handle path, host::Handle value, bool held)
    : text_(dumps(value)), decision_(held ? Decision::kPending : Decision::kCommit) {
  const host::FsPath fs_path(path);
  name_ = fs_path.name.clone();
  const auto* bytes = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text_.get()));
  const std::string_view content(bytes, static_cast<size_t>(PyUnicode_GET_LENGTH(text_.get())));
  auto write = [this, target = std::string(fs_path.bytes()), content]() mutable {
    Replacement replacement(std::move(target), content);
    if (decided() == Decision::kCommit) error_ = replacement.commit();
  };
  try {
    writer_ = host::quiet_thread(std::move(write));
  } catch (const std::system_error&) {
    // No thread: the write happens now, or when it is committed.
    if (held) {
      unstarted_ = std::move(write);
    } else {
      WithoutLock unlocked;
      write();
    }
  }
}

FileWrite::~FileWrite() {
  abandon();
}

void FileWrite::decide(Decision decision) {
  {
    const std::lock_guard<std::mutex> guard(lock_);
    if (decision_ != Decision::kPending) return;
    decision_ = decision;
  }
  changed_.notify_one();
}

FileWrite::Decision FileWrite::decided() {
  std::unique_lock<std::mutex> guard(lock_);
  changed_.wait(guard, [this] { return decision_ != Decision::kPending; });
  return decision_;
}

void FileWrite::commit() {
  decide(Decision::kCommit);
}

void FileWrite::abandon() {
  decide(Decision::kAbandon);
  unstarted_ = nullptr;
  WithoutLock unlocked;
  if (writer_.joinable()) writer_.join();
}

void FileWrite::finish() {
  decide(Decision::kCommit);
  {
    WithoutLock unlocked;
    if (unstarted_) std::exchange(unstarted_, nullptr)();
    if (writer_.joinable()) writer_.join();
  }
  if (error_ != 0) host::raise_os_error(std::exchange(error_, 0), name_);
}

void replace_file(host::Handle path, std::string_view content) {
  const host::FsPath fs_path(path);
  std::string target(fs_path.bytes());
  int error = 0;
  {
    WithoutLock unlocked;
    error = replace(std::move(target), content);
  }
  if (error == 0) return;
  host::raise_os_error(error, fs_path.name);
}

}  // namespace vornik::json
