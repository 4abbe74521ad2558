// Reading a document file as json.load does on the file opened as UTF-8 text, with the errors
// the host's open() and read() raise.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string_view>

#include "host/system.h"
#include "json/document.h"

namespace vornik::json {
namespace {

using host::Ref;

using host::FileDescriptor;

// Runs a blocking call with the host's lock released, so other threads go on meanwhile.
template <class Call>
auto without_lock(Call&& call) {
  host::WithoutLock unlocked;
  return call();
}

[[noreturn]] void raise_errno(int error, host::Handle filename) {
  errno = error;
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
  host::throw_error_set();
}

int open_for_reading(const char* path, host::Handle filename) {
  for (;;) {
    int error = 0;
    const int fd = without_lock([&] {
      const int opened = open(path, O_RDONLY | O_CLOEXEC);
      error = errno;
      return opened;
    });
    if (fd >= 0) return fd;
    // A signal handler that raises ends the wait, as it does for open().
    if (error == EINTR) {
      host::check_status(PyErr_CheckSignals());
      continue;
    }
    raise_errno(error, filename);
  }
}

}  // namespace

host::Ref read_file(host::Handle path) {
  // open() reports the path as os.fspath gives it.
  Ref filename = host::check(PyOS_FSPath(path));
  PyObject* encoded = nullptr;
  if (PyUnicode_FSConverter(filename.get(), &encoded) == 0) host::throw_error_set();
  Ref encoded_path = Ref::steal(encoded);

  FileDescriptor file(open_for_reading(PyBytes_AS_STRING(encoded_path.get()), filename));
  struct stat status {};
  if (fstat(file.get(), &status) != 0) raise_errno(errno, filename);
  // open(2) gives a directory a descriptor; the host's open() refuses it.
  if (S_ISDIR(status.st_mode)) raise_errno(EISDIR, filename);

  // The size is a first guess only: the file may change while it is read.
  size_t capacity = status.st_size > 0 ? static_cast<size_t>(status.st_size) + 1 : 1 << 16;
  auto buffer = std::make_unique_for_overwrite<char[]>(capacity);
  size_t size = 0;
  for (;;) {
    if (size == capacity) {
      const size_t grown = capacity * 2;
      auto bigger = std::make_unique_for_overwrite<char[]>(grown);
      std::memcpy(bigger.get(), buffer.get(), size);
      buffer = std::move(bigger);
      capacity = grown;
    }
    int error = 0;
    const ssize_t count = without_lock([&] {
      const ssize_t got = read(file.get(), buffer.get() + size, capacity - size);
      error = errno;
      return got;
    });
    if (count > 0) {
      size += static_cast<size_t>(count);
      continue;
    }
    if (count == 0) break;
    if (error == EINTR) {
      host::check_status(PyErr_CheckSignals());
      continue;
    }
    // Reading an open file reports no file name, as the host's read() does not.
    errno = error;
    PyErr_SetFromErrno(PyExc_OSError);
    host::throw_error_set();
  }
  return parse(std::string_view(buffer.get(), size), true);
}

}  // namespace vornik::json
