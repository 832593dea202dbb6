// SPDX-License-Identifier: MIT
// Locks, for the POSIX Env: on the whole file a run reads or writes, and on
// the temporary file beside an output, by which a run tells a file that a
// live run is writing from one that a killed run left behind.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <numeric>
#include <string>

#include "env/PosixFiles.h"

namespace hexpoke {
namespace posix {

namespace {

// The errors of a lock on a file system that takes none: NFS without its
// lock daemon (ENOLCK), some FUSE and network file systems.
bool NoLocksHere(int error) {
  return error == ENOLCK || error == EOPNOTSUPP || error == ENOTSUP ||
         error == ENOSYS;
}

enum class Left { kGone, kBusy, kRefused };

// Looks at the file under the temporary name `temporary`: one that no live
// run holds is removed (while this holds its lock, so that no run can be
// writing it); one that a live run holds is waited for if `wait`.
Left RemoveIfLeft(int dir, const std::string& temporary, bool wait) {
  Descriptor left(openat(dir, temporary.c_str(),
                         O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY |
                             O_CLOEXEC));
  if (left.get() < 0) return errno == ENOENT ? Left::kGone : Left::kRefused;
  struct stat status {};
  if (fstat(left.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    return Left::kRefused;  // not a file any run makes
  }
  switch (LockWholeFile(left.get(), true, false)) {
    case LockResult::kLocked:
      break;
    case LockResult::kBusy:
      if (wait) LockWholeFile(left.get(), true, true);
      return Left::kBusy;
    case LockResult::kNoLocks:  // no telling a live run's from a left one
    case LockResult::kError:
      return Left::kRefused;
  }
  struct stat named {};
  if (fstatat(dir, temporary.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) {
    return Left::kGone;
  }
  if (!SameFile(named, status)) return Left::kGone;  // look again
  return unlinkat(dir, temporary.c_str(), 0) == 0 || errno == ENOENT
             ? Left::kGone
             : Left::kRefused;
}

}  // namespace

// flock(2) first: the lock that flock(1) and most scripts take. Then, on
// Linux, an open file description lock over the whole file (F_OFD_SETLKW),
// which is what other programs' fcntl(2) and lockf(3) locks meet. Both
// belong to the open file description: closing another descriptor of the
// file drops neither, and both end when the last descriptor of this open is
// closed, at the latest with the process. Every run takes them in the same
// order, so that no two runs wait for each other crosswise. An exclusive
// lock on Linux needs `fd` open for writing.
LockResult LockWholeFile(int fd, bool exclusive, bool wait) {
  const int operation = (exclusive ? LOCK_EX : LOCK_SH) | (wait ? 0 : LOCK_NB);
  int done;
  while ((done = flock(fd, operation)) != 0 && errno == EINTR) {
  }
  if (done != 0) {
    if (errno == EWOULDBLOCK) return LockResult::kBusy;
    return NoLocksHere(errno) ? LockResult::kNoLocks : LockResult::kError;
  }
#if HEXPOKE_LINUX_CALLS && defined(F_OFD_SETLKW)
  struct flock whole {};
  whole.l_type = exclusive ? F_WRLCK : F_RDLCK;
  whole.l_whence = SEEK_SET;
  for (;;) {
    if (fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &whole) == 0) break;
    if (errno == EINTR) continue;
    if (!wait && (errno == EAGAIN || errno == EACCES)) {
      flock(fd, LOCK_UN);
      return LockResult::kBusy;
    }
    // A kernel before 3.15 has no such locks, and some file systems take
    // flock(2) locks only: the flock holds.
    if (errno == EINVAL || NoLocksHere(errno)) break;
    return LockResult::kError;
  }
#endif
  return LockResult::kLocked;
}

bool NamedFile::Lock() {
  return LockWholeFile(fd_.get(), exclusive_, true) != LockResult::kError;
}

bool NamedFile::WaitForReplacement() {
  Destination destination;
  if (!Locate(path_, destination) || destination.descriptor >= 0) {
    return false;
  }
  if (WaitForTemporary(destination.dir.get(), destination.name)) return true;
  // Where a rename is made in steps (NTFS through FUSE: the old file's name
  // removed, the new file linked under it, its temporary name removed), the
  // name is missing for a moment while the temporary file is still there;
  // once that is gone, the name leads to the new file.
  struct stat found {};
  return stat(path_.c_str(), &found) == 0;
}

std::string TemporaryName(const std::string& name) {
  if (name.size() <= 200) return "." + name + ".hexpoke.tmp";
  // FNV-1a: the same name gives the same hash on every run and system.
  const std::uint64_t hash = std::accumulate(
      name.begin(), name.end(), std::uint64_t{14695981039346656037u},
      [](std::uint64_t sum, char c) {
        return (sum ^ static_cast<unsigned char>(c)) * 1099511628211u;
      });
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx",
                static_cast<unsigned long long>(hash));
  return ".hexpoke-" + std::string(hex) + ".tmp";
}

Claim ClaimTemporary(int dir, const std::string& name, mode_t mode, bool wait,
                     Descriptor& fd) {
  const std::string temporary = TemporaryName(name);
  for (int attempt = 0; attempt < 100; ++attempt) {
    Descriptor made;
    {
      const SignalsHeld held;
      made = Descriptor(openat(dir, temporary.c_str(),
                               O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW |
                                   O_CLOEXEC,
                               mode));
      if (made.get() >= 0) NameTemporary(dir, temporary);
    }
    if (made.get() < 0) {
      if (errno != EEXIST) return Claim::kRefused;
      switch (RemoveIfLeft(dir, temporary, wait)) {
        case Left::kGone:
          continue;
        case Left::kBusy:
          return Claim::kBusy;
        case Left::kRefused:
          errno = EEXIST;
          return Claim::kRefused;
      }
    }
    // Another run that took it for a left file may hold it for a moment,
    // and remove it; the name must still lead to it once it is locked.
    const LockResult locked = LockWholeFile(made.get(), true, true);
    struct stat own {};
    struct stat named {};
    const bool ours =
        fstat(made.get(), &own) == 0 &&
        fstatat(dir, temporary.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        SameFile(own, named);
    if (ours && locked != LockResult::kError) {
      fd = std::move(made);
      return Claim::kClaimed;
    }
    const SignalsHeld held;
    ForgetTemporary();
    if (locked == LockResult::kError) {
      const int error = errno;
      if (ours) unlinkat(dir, temporary.c_str(), 0);  // never written
      errno = error;
      return Claim::kRefused;
    }
  }
  errno = EEXIST;
  return Claim::kRefused;
}

void RemoveLeftTemporary(int dir, const std::string& name) {
  struct stat status {};
  const std::string temporary = TemporaryName(name);
  // The usual case: there is none.
  if (fstatat(dir, temporary.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
    RemoveIfLeft(dir, temporary, false);
  }
}

bool WaitForTemporary(int dir, const std::string& name) {
  const std::string temporary = TemporaryName(name);
  const Descriptor live(openat(dir, temporary.c_str(),
                               O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY |
                                   O_CLOEXEC));
  struct stat status {};
  if (live.get() < 0 || fstat(live.get(), &status) != 0 ||
      !S_ISREG(status.st_mode) ||
      LockWholeFile(live.get(), false, false) != LockResult::kBusy) {
    return false;
  }
  LockWholeFile(live.get(), false, true);
  return true;
}

}  // namespace posix
}  // namespace hexpoke
