// Reading a document file as json.load does on the file opened as UTF-8 text, with the errors
// the host's open() and read() raise.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>
#include <utility>

#include "host/files.h"
#include "host/system.h"
#include "host/threads.h"
#include "json/document.h"

namespace vornik::json {
namespace {

using host::Ref;

using host::FileDescriptor;
using host::raise_os_error;
using host::without_lock;

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
    raise_os_error(error, filename);
  }
}

}  // namespace

FilePrefetch::FilePrefetch(host::Handle path) {
  try {
    path_ = std::string(host::FsPath(path).bytes());
  } catch (const host::ErrorAlreadySet&) {
    // The read meets it again and raises it then.
    PyErr_Clear();
    return;
  }
  auto read = [this] {
    // Only a regular file is opened: opening a pipe, even to close it again, would meet a
    // writer waiting for the reader that the document's own read is to be.
    struct stat named {};
    if (::stat(path_.c_str(), &named) != 0 || !S_ISREG(named.st_mode)) return;
    FileDescriptor file(::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat status {};
    if (file.get() < 0 || fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) return;
    read_ = host::read_all(file.get(), text_, static_cast<size_t>(status.st_size)) == 0;
  };
  try {
    reader_ = host::quiet_thread(std::move(read));
  } catch (const std::system_error&) {
    // No thread: the read happens when the document is read.
  }
}

FilePrefetch::~FilePrefetch() {
  if (reader_.joinable()) reader_.join();
}

bool FilePrefetch::take(std::string& text) {
  if (!reader_.joinable()) return false;
  {
    host::WithoutLock unlocked;
    reader_.join();
  }
  if (!read_) return false;
  text = std::move(text_);
  return true;
}

host::Ref read_file(host::Handle path, FilePrefetch* prefetch) {
  if (std::string text; prefetch != nullptr && prefetch->take(text)) return parse(text, true);
  const host::FsPath fs_path(path);
  const host::Handle filename = fs_path.name;

  FileDescriptor file(open_for_reading(fs_path.c_str(), filename));
  struct stat status {};
  if (fstat(file.get(), &status) != 0) raise_os_error(errno, filename);
  // open(2) gives a directory a descriptor; the host's open() refuses it.
  if (S_ISDIR(status.st_mode)) raise_os_error(EISDIR, filename);

  // The size is a first guess only: the file may change while it is read.
  const size_t expected = status.st_size > 0 ? static_cast<size_t>(status.st_size) : 0;
  std::string text;
  for (;;) {
    const int error = without_lock([&] {
      return host::read_all(file.get(), text, expected > text.size() ? expected - text.size() : 0,
                            true);
    });
    if (error == 0) break;
    // A signal handler that raises ends the read, as it does for read().
    if (error == EINTR) {
      host::check_status(PyErr_CheckSignals());
      continue;
    }
    // Reading an open file reports no file name, as the host's read() does not.
    errno = error;
    PyErr_SetFromErrno(PyExc_OSError);
    host::throw_error_set();
  }
  return parse(text, true);
}

}  // namespace vornik::json
