#include "sourcemerge/temporary_directory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

#include "host/function.h"

namespace vornik::sourcemerge {
namespace {

using host::FileDescriptor;
using host::Handle;
using host::Ref;

// Attempts at a directory name nobody else holds, as the host's own temporary files make.
constexpr int kMaxAttempts = 10000;

constexpr const char* kSideNames[] = {"current", "base", "incoming"};

Ref global(Handle globals, const char* name) {
  return host::lookup_global(globals, host::intern(name));
}

int open_for_writing(Handle path) {
  host::FsPath encoded(path);
  int fd = ::open(encoded.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) host::raise_os_error(errno, path);
  return fd;
}

Ref candidate_in(Handle globals, Handle parent) {
  std::string name = "tmp" + host::random_name(kRandomNameLength);
  Ref candidate = host::check(PyUnicode_FromFormat("%U/%s", parent.get(), name.c_str()));
  if (PyUnicode_READ_CHAR(candidate.get(), 0) != '/') {
    Ref os_path = host::getattr(global(globals, "os"), "path");
    candidate = host::call(host::getattr(os_path, "abspath"), candidate);
  }
  return candidate;
}

Ref temporary_parent(Handle globals) {
  return host::call(host::getattr(global(globals, "tempfile"), "gettempdir"));
}

}  // namespace

Ref temporary_directory_candidate(Handle globals) {
  return candidate_in(globals, temporary_parent(globals));
}

TemporaryDirectory::TemporaryDirectory(Handle globals) {
  Ref parent = temporary_parent(globals);
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    Ref candidate = candidate_in(globals, parent);
    host::FsPath path(candidate);
    if (::mkdir(path.c_str(), 0700) == 0) {
      path_ = std::move(candidate);
      directory_.hold(std::string(path.bytes()), host::TemporaryPath::Kind::kDirectory);
      return;
    }
    if (errno != EEXIST) host::raise_os_error(errno, candidate);
  }
  host::raise_os_error(EEXIST, parent);
}

TemporaryDirectory::~TemporaryDirectory() {
  // The three files are all a merge leaves, so that the directory is then empty; anything else
  // git may have left goes with the directory.
  if (directory_.path().empty()) return;
  for (const char* name : kSideNames) {
    ::unlink((directory_.path() + '/' + name).c_str());
  }
}

Ref TemporaryDirectory::join(const char* name) const {
  return host::check(PyUnicode_FromFormat("%U/%s", path_.get(), name));
}

SideFiles::SideFiles(const TemporaryDirectory& directory) {
  for (std::size_t i = 0; i < 3; ++i) paths_[i] = directory.join(kSideNames[i]);
  for (std::size_t i = 0; i < 3; ++i) files_[i].reset(open_for_writing(paths_[i]));
}

void SideFiles::write(Side side, std::string_view bytes) {
  if (int error = host::write_all(files_[index(side)].get(), bytes); error != 0) {
    host::raise_os_error(error, Py_None);
  }
}

void SideFiles::close() {
  for (Side side : {Side::kIncoming, Side::kBase, Side::kCurrent}) {
    if (int error = files_[index(side)].close(); error != 0) host::raise_os_error(error, Py_None);
  }
}

std::string read_bytes(Handle path) {
  host::FsPath encoded(path);
  FileDescriptor file(::open(encoded.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) host::raise_os_error(errno, path);
  std::string bytes;
  if (int error = host::read_all(file.get(), bytes); error != 0) {
    host::raise_os_error(error, Py_None);
  }
  return bytes;
}

}  // namespace vornik::sourcemerge
