// SPDX-License-Identifier: MIT
// Where a path leads, for the POSIX Env: links followed as the kernel
// follows them, the identity of files, and opening as a shell would.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <ctime>
#include <string>
#include <string_view>
#include <utility>

#include "env/PosixFiles.h"

namespace hexpoke {
namespace posix {

namespace {

// As many links as Linux follows in one path lookup.
constexpr int kMaxLinks = 40;

// How directories are opened: to look names up in, which needs the right
// to search them but not to read them (a drop box, mode 0733, is one).
#if HEXPOKE_LINUX_CALLS && defined(O_PATH)
constexpr int kDirectoryFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#elif defined(O_SEARCH)
constexpr int kDirectoryFlags = O_SEARCH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

struct SplitPath {
  explicit SplitPath(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
      dir = ".";
      name = path;
    } else {
      dir = slash == 0 ? "/" : path.substr(0, slash);
      name = path.substr(slash + 1);
    }
  }
  std::string dir;
  std::string name;
};

FileId IdOf(const struct stat& status) {
  return {static_cast<std::uint64_t>(status.st_dev),
          static_cast<std::uint64_t>(status.st_ino)};
}

// Whether the directory open as `dir` is the one in which the process sees
// its own descriptors: /proc/self/fd (where /dev/fd leads on Linux),
// /proc/thread-self/fd, or a /dev/fd of its own elsewhere. Known by what
// /proc calls the process, not by getpid(), which in a PID namespace that
// shares its parent's /proc is another number.
bool SeesOwnDescriptors(int dir) {
  struct stat status {};
  if (fstat(dir, &status) != 0) return false;
  for (const char* own : {"/proc/self/fd", "/proc/thread-self/fd", "/dev/fd"}) {
    struct stat seen {};
    if (stat(own, &seen) == 0 && SameFile(seen, status)) return true;
  }
  return false;
}

}  // namespace

bool SameFile(const struct stat& one, const struct stat& other) {
  return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

Seen IdentifyOpen(int fd, FileId& id, struct stat* status) {
  struct stat seen {};
  if (fstat(fd, &seen) != 0) return errno == ENOENT ? Seen::kNothing
                                                    : Seen::kError;
  if (status != nullptr) *status = seen;
  if (seen.st_nlink == 0) return Seen::kNothing;
  id = IdOf(seen);
  return Seen::kFile;
}

Seen IdentifyPath(const std::string& path, FileId& id) {
  struct stat seen {};
  if (stat(path.c_str(), &seen) != 0) {
    return errno == ENOENT ? Seen::kNothing : Seen::kError;
  }
  id = IdOf(seen);
  return Seen::kFile;
}

std::string DescriptorPath(int fd) {
  return "/proc/self/fd/" + std::to_string(fd);
}

// Each link's directory is opened relative to the one before (the kernel
// following every link on the way to it), and a relative target is looked
// up from the directory of its link, so that no path passed on is longer
// than the user's own or a link's. What may be written there is not
// decided here but by the kernel, when the path itself is opened.
bool Locate(const std::string& path, Destination& destination) {
  Descriptor link_dir;  // where a relative target is looked up
  std::string next = path;
  for (int links = 0; links <= kMaxLinks; ++links) {
    const SplitPath split(next);
    if (split.name.empty() || split.name == "." || split.name == "..") {
      return false;
    }
    Descriptor dir(openat(link_dir.get() >= 0 ? link_dir.get() : AT_FDCWD,
                          split.dir.c_str(), kDirectoryFlags));
    if (dir.get() < 0) return false;
    // Checked at every step: /dev/stdout leads to /proc/self/fd/1, which
    // leads on to whatever standard output is, and that must not be opened
    // again by name.
    const std::string& number = split.name;
    if (number.size() <= 9 &&
        number.find_first_not_of("0123456789") == std::string::npos &&
        (number.size() == 1 || number[0] != '0') &&
        SeesOwnDescriptors(dir.get())) {
      destination.descriptor = std::stoi(number);
      return true;
    }
    struct stat status {};
    if (fstatat(dir.get(), split.name.c_str(), &status, AT_SYMLINK_NOFOLLOW) !=
            0 &&
        errno != ENOENT) {
      return false;
    }
    if (!S_ISLNK(status.st_mode)) {
      destination.dir = std::move(dir);
      destination.name = split.name;
      return true;
    }
    std::string target(PATH_MAX, '\0');
    const ssize_t length =
        readlinkat(dir.get(), split.name.c_str(), target.data(), target.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) {
      return false;
    }
    target.resize(static_cast<std::size_t>(length));
    next = std::move(target);
    link_dir = std::move(dir);
  }
  return false;
}

bool AppendOnly(int dir) {
#if HEXPOKE_LINUX_CALLS && defined(STATX_ATTR_APPEND)
  struct statx status {};
  return statx(dir, "", AT_EMPTY_PATH, 0, &status) == 0 &&
         (status.stx_attributes & STATX_ATTR_APPEND) != 0;
#else
  (void)dir;
  return false;
#endif
}

// The kernel has asked the lease's holder to give it up and refuses every
// such open (EWOULDBLOCK) until it has, or until it breaks the lease itself
// after fs.lease-break-time. The open is tried again until then, still
// with O_NONBLOCK, so that a FIFO put under the name meanwhile is never
// waited for.
int OpenWaitingForLeases(const std::string& path, int flags) {
  long pause_ns = 1000000;
  for (;;) {
    const int fd = open(path.c_str(), flags, 0);
    if (fd >= 0 || errno != EWOULDBLOCK || (flags & O_NONBLOCK) == 0) {
      return fd;
    }
    const timespec pause = {0, pause_ns};
    nanosleep(&pause, nullptr);
    pause_ns = std::min(2 * pause_ns, 100000000L);
  }
}

int OpenWithStatus(const std::string& path, int flags, struct stat& status) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    Descriptor fd(OpenWaitingForLeases(path, flags));
    if (fd.get() < 0) return -1;
    if (fstat(fd.get(), &status) == 0) return fd.release();
    if (errno != ENOENT) return -1;
  }
  return -1;
}

bool WriteAll(int fd, std::string_view text, off_t offset) {
  while (!text.empty()) {
    const ssize_t written =
        offset < 0 ? write(fd, text.data(), text.size())
                   : pwrite(fd, text.data(), text.size(), offset);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(written));
    if (offset >= 0) offset += written;
  }
  return true;
}

}  // namespace posix
}  // namespace hexpoke
