// Operating-system resources held by RAII, and the host's lock released around blocking calls.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string_view>
#include <utility>

#include "host/ref.h"

namespace vornik::host {

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) noexcept : fd_(fd) {}
  VORNIK_PINNED(FileDescriptor);
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const noexcept { return fd_; }
  void reset(int fd) noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  // Closes now and returns the errno value close() reports (0 when it succeeds): on some file
  // systems the last write-back error only shows there.
  int close() noexcept {
    int fd = std::exchange(fd_, -1);
    return ::close(fd) == 0 || errno == EINTR ? 0 : errno;
  }

 private:
  int fd_;
};

// Releases the host's lock for the lifetime of the object, so that other threads go on during
// blocking calls; it is taken back also when an exception leaves the scope. Nothing that
// touches host objects may run meanwhile.
class WithoutLock {
 public:
  WithoutLock() : state_(PyEval_SaveThread()) {}
  VORNIK_PINNED(WithoutLock);
  ~WithoutLock() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

// Runs a blocking call with the host's lock released and returns its result.
template <class Call>
auto without_lock(Call&& call) {
  WithoutLock unlocked;
  return call();
}

// A path argument (str, bytes or os.PathLike) as the host's open() takes it: `name` is what
// errors report (os.fspath of the argument), `encoded` the file system's bytes.
struct FsPath {
  explicit FsPath(Handle path) : name(check(PyOS_FSPath(path))) {
    PyObject* converted = nullptr;
    if (PyUnicode_FSConverter(name.get(), &converted) == 0) throw_error_set();
    encoded = Ref::steal(converted);
  }
  const char* c_str() const { return PyBytes_AS_STRING(encoded.get()); }
  std::string_view bytes() const {
    return {PyBytes_AS_STRING(encoded.get()),
            static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get()))};
  }

  Ref name;
  Ref encoded;
};

// Raises the OSError subclass for `error` (an errno value), naming `filename` as open() does.
[[noreturn]] inline void raise_os_error(int error, Handle filename) {
  errno = error;
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
  throw_error_set();
}

}  // namespace vornik::host
