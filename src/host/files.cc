#include "host/files.h"

#include <ftw.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace vornik::host {
namespace {

// Starting size of a read of unknown length.
constexpr std::size_t kFirstChunk = std::size_t{1} << 16;

// The write loop: `put` writes from the data and offset given, as write() or pwrite() does.
template <class Put>
int put_all(std::string_view bytes, off_t offset, Put put) noexcept {
  while (!bytes.empty()) {
    const ssize_t written = put(bytes.data(), bytes.size(), offset);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (written == 0) return EIO;  // no progress and no reason given: never loop on it
    bytes.remove_prefix(static_cast<std::size_t>(written));
    offset += written;
  }
  return 0;
}

// splitmix64's output function: every bit of the result depends on every bit of `x`.
std::uint64_t mix(std::uint64_t x) {
  x = (x ^ (x >> 30U)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27U)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31U);
}

// Bytes that differ between calls, processes and moments, for when the kernel has none yet.
void fallback_bytes(unsigned char* out, std::size_t size) {
  static std::atomic<std::uint64_t> counter{0};
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  std::uint64_t state = (static_cast<std::uint64_t>(now.tv_sec) * 1000000000ULL) ^
                        static_cast<std::uint64_t>(now.tv_nsec) ^
                        (static_cast<std::uint64_t>(::getpid()) << 40U) ^
                        mix(counter.fetch_add(1, std::memory_order_relaxed));
  for (std::size_t done = 0; done < size;) {
    state += 0x9e3779b97f4a7c15ULL;
    const std::uint64_t bits = mix(state);
    const std::size_t count = std::min(sizeof bits, size - done);
    std::memcpy(out + done, &bits, count);
    done += count;
  }
}

void random_bytes(unsigned char* out, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = ::getrandom(out + done, size - done, GRND_NONBLOCK);
    if (got > 0) {
      done += static_cast<std::size_t>(got);
    } else if (got < 0 && errno == EINTR) {
      continue;
    } else {
      // Early in boot the pool may not be ready (EAGAIN), or the call may not exist.
      fallback_bytes(out + done, size - done);
      return;
    }
  }
}

int remove_entry(const char* path, const struct stat*, int type, struct FTW*) {
  if (type == FTW_DP) {
    ::rmdir(path);
  } else {
    ::unlink(path);
  }
  return 0;  // go on: removal is best effort
}

}  // namespace

int write_all(int fd, std::string_view bytes) noexcept {
  return put_all(bytes, 0, [fd](const char* data, std::size_t size, off_t) {
    return ::write(fd, data, size);
  });
}

int write_all_at(int fd, std::string_view bytes, off_t offset) noexcept {
  return put_all(bytes, offset, [fd](const char* data, std::size_t size, off_t at) {
    return ::pwrite(fd, data, size, at);
  });
}

int read_all(int fd, std::string& into, std::size_t expected, bool stop_when_interrupted) {
  std::size_t size = into.size();
  // One byte beyond what is expected, so that the end shows without growing the buffer.
  into.resize(size + (expected > 0 ? expected + 1 : kFirstChunk));
  int error = 0;
  for (;;) {
    if (size == into.size()) into.resize(into.size() * 2);
    const ssize_t got = ::read(fd, into.data() + size, into.size() - size);
    if (got > 0) {
      size += static_cast<std::size_t>(got);
      continue;
    }
    if (got == 0) break;
    if (errno == EINTR && !stop_when_interrupted) continue;
    error = errno;
    break;
  }
  into.resize(size);
  return error;
}

std::string text_mode_newlines(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r') {
      out.push_back(text[i]);
      continue;
    }
    out.push_back('\n');
    if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
  }
  return out;
}

std::string random_name(std::size_t length) {
  constexpr std::size_t kCount = kNameCharacters.size();
  // Bytes from this value up would favour the first characters; they are drawn again.
  constexpr unsigned kLimit = 256 - (256 % kCount);
  std::string name;
  name.reserve(length);
  unsigned char bytes[64];
  while (name.size() < length) {
    const std::size_t wanted = std::min(sizeof bytes, 2 * (length - name.size()));
    random_bytes(bytes, wanted);
    for (std::size_t i = 0; i < wanted && name.size() < length; ++i) {
      if (bytes[i] < kLimit) name += kNameCharacters[bytes[i] % kCount];
    }
  }
  return name;
}

TemporaryPath::~TemporaryPath() {
  if (path_.empty()) return;
  if (kind_ == Kind::kFile) {
    ::unlink(path_.c_str());
  } else if (::rmdir(path_.c_str()) != 0) {
    // Not empty: whatever is left in it is found by a walk of the directory.
    ::nftw(path_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
  }
}

}  // namespace vornik::host
