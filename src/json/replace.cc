// Replacing a file so that readers, and the file after a crash, hold either the old or the new
// content. All file system work runs without the host's lock and reports an errno value; only
// the caller, holding the lock again, turns it into the host's OSError.
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <new>
#include <string>
#include <utility>

#include "host/system.h"
#include "json/document.h"

namespace vornik::json {
namespace {

using host::FileDescriptor;
using host::WithoutLock;

// Symbolic links followed before giving up, as the kernel does for a path.
constexpr int kMaxLinks = 40;
// Attempts at a temporary name that nobody else holds.
constexpr int kMaxAttempts = 100;
// Keeps `.<name>.<16 hex>.tmp` within the usual 255-byte limit on a name.
constexpr size_t kMaxNameInTemporary = 200;

// Removes the temporary file unless it was renamed into place.
class Temporary {
 public:
  Temporary() = default;
  Temporary(const Temporary&) = delete;
  Temporary& operator=(const Temporary&) = delete;
  Temporary(Temporary&&) = delete;
  Temporary& operator=(Temporary&&) = delete;
  ~Temporary() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  void hold(std::string path) { path_ = std::move(path); }
  const std::string& path() const noexcept { return path_; }
  void keep() noexcept { path_.clear(); }

 private:
  std::string path_;
};

int write_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (written == 0) return EIO;  // no progress and no reason given: never loop on it
    data += written;
    size -= static_cast<size_t>(written);
  }
  return 0;
}

int pwrite_all(int fd, const char* data, size_t size) {
  off_t offset = 0;
  while (size > 0) {
    ssize_t written = ::pwrite(fd, data, size, offset);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (written == 0) return EIO;
    data += written;
    size -= static_cast<size_t>(written);
    offset += written;
  }
  return 0;
}

// The whole file, or false when it cannot be read.
bool read_all(int fd, std::string& into) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return false;
  into.resize(static_cast<size_t>(st.st_size));
  size_t done = 0;
  while (done < into.size()) {
    ssize_t got = ::pread(fd, into.data() + done, into.size() - done, static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

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

std::string random_suffix() {
  uint64_t bits = 0;
  if (::getrandom(&bits, sizeof bits, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bits)) {
    // Early in boot the pool may not be ready; uniqueness is checked by O_EXCL anyway.
    static uint64_t counter = 0;
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    bits = (static_cast<uint64_t>(now.tv_nsec) << 20) ^ static_cast<uint64_t>(now.tv_sec) ^
           (static_cast<uint64_t>(::getpid()) << 40) ^ (++counter * 0x9e3779b97f4a7c15ULL);
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text(16, '0');
  for (char& digit : text) {
    digit = kHex[bits & 0xf];
    bits >>= 4;
  }
  return text;
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
    int error = write_all(fd.get(), content.data(), content.size());
    int closed = fd.close();
    return {error != 0 ? error : closed, true};
  }
  FileDescriptor fd(::open(target.c_str(), O_RDWR | O_CLOEXEC));
  bool readable = fd.get() >= 0;
  if (!readable && errno == EACCES) fd.reset(::open(target.c_str(), O_WRONLY | O_CLOEXEC));
  if (fd.get() < 0) return {errno, false};
  std::string original;
  bool restorable = readable && read_all(fd.get(), original);
  int error = pwrite_all(fd.get(), content.data(), content.size());
  if (error == 0 && ::ftruncate(fd.get(), static_cast<off_t>(content.size())) != 0) error = errno;
  if (error == 0) error = sync(fd.get());
  if (error != 0 && restorable) {
    if (pwrite_all(fd.get(), original.data(), original.size()) == 0 &&
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

int replace(std::string target, std::string_view content) {
  struct stat st {};
  bool exists = false;
  if (int error = resolve(target, st, exists)) return error;
  if (exists && S_ISDIR(st.st_mode)) return EISDIR;
  size_t slash = target.rfind('/');
  std::string directory = slash == std::string::npos ? "." : target.substr(0, slash + 1);
  std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
  if (name.empty()) return EISDIR;  // "missing/": open() refuses it the same way
  // Replacing what open() could not write would defeat the file's protection.
  if (exists && ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) return errno;
  if (exists && !S_ISREG(st.st_mode)) return write_in_place(target, content, false).error;

  Temporary temporary;
  FileDescriptor fd;
  int error = 0;
  std::string stem = directory + "." + name.substr(0, kMaxNameInTemporary) + ".";
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    std::string path = stem + random_suffix() + ".tmp";
    // Private until its permission bits are set; a new file gets open()'s 0666 less umask.
    fd.reset(::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, exists ? 0600 : 0666));
    if (fd.get() >= 0) {
      temporary.hold(std::move(path));
      break;
    }
    error = errno;
    if (error != EEXIST && error != EINTR) break;
  }
  if (fd.get() < 0) {
    if ((error == EACCES || error == EPERM) && exists) {
      InPlace written = write_in_place(target, content, true);
      // When the file cannot be opened either, the directory's refusal is the first cause.
      return written.opened ? written.error : error;
    }
    return error;
  }

  error = write_all(fd.get(), content.data(), content.size());
  if (error == 0 && exists) {
    // Owner first: a change of owner clears the set-id bits that fchmod then restores.
    if (::fchown(fd.get(), st.st_uid, st.st_gid) != 0 && errno != EPERM) error = errno;
    if (error == 0 && ::fchmod(fd.get(), st.st_mode & 07777) != 0) error = errno;
  }
  if (error == 0) error = sync(fd.get());
  int closed = fd.close();
  if (error == 0) error = closed;
  if (error == 0 && ::rename(temporary.path().c_str(), target.c_str()) != 0) {
    error = errno;
    // A sticky directory lets its users write each other's files but not replace them.
    if (error == EPERM || error == EACCES) {
      ::unlink(temporary.path().c_str());
      temporary.keep();
      InPlace written = write_in_place(target, content, true);
      return written.opened ? written.error : error;
    }
  }
  if (error != 0) return error;
  temporary.keep();
  sync_directory(directory);
  return 0;
}

}  // namespace

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
