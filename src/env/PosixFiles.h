// SPDX-License-Identifier: MIT
// What the POSIX Env's files share: descriptors, where a path leads, locks,
// the temporary file beside an output, signals, and the metadata a
// replacement carries over. Not part of the Env's interface; included by
// src/env/Posix*.cpp and EnvPosix.cpp only.

#ifndef HEXPOKE_ENV_POSIX_FILES_H_
#define HEXPOKE_ENV_POSIX_FILES_H_

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "env/Env.h"
#include "env/LockProtocol.h"

// The calls of Linux's own that the POSIX Env uses where it may:
// O_TMPFILE, open file description locks, RENAME_NOREPLACE, statx, O_PATH
// and extended attributes. A portable build (the CMake option
// HEXPOKE_PORTABLE_POSIX) uses none of them, only what POSIX, macOS and
// FreeBSD all offer, so that the paths those systems would take are built
// and tested here.
#if defined(__linux__) && !defined(HEXPOKE_PORTABLE_POSIX)
#define HEXPOKE_LINUX_CALLS 1
#else
#define HEXPOKE_LINUX_CALLS 0
#endif

namespace hexpoke {
namespace posix {

// A descriptor that is closed with its owner.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  Descriptor(Descriptor&& other) noexcept : fd_(other.release()) {}
  ~Descriptor() { reset(); }
  Descriptor& operator=(Descriptor&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  void reset() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// ---- Where a path leads (PosixPaths.cpp) ----

bool SameFile(const struct stat& one, const struct stat& other);

// The FileId of the file open as `fd`: Seen::kNothing where no name leads
// to it any more (removed, or replaced by a rename), as a file system that
// names files by path (sshfs) then says, or as its link count of 0 says.
Seen IdentifyOpen(int fd, FileId& id, struct stat* status = nullptr);
// The FileId of the file that `path` leads to, links followed.
Seen IdentifyPath(const std::string& path, FileId& id);

// The name by which the process reaches its own descriptor `fd`, where
// there is /proc.
std::string DescriptorPath(int fd);

// Where an output path leads: the directory that holds what it finally
// names, open to look names up in, and its name there, which is no link;
// or one of the process's own descriptors.
struct Destination {
  Descriptor dir;
  std::string name;
  int descriptor = -1;  // one of the process's own, or -1
};

// Follows the links that `path` ends in, one at a time, as the kernel
// does. Returns false for a loop of links, a name too long, a path that
// cannot be searched, a directory.
bool Locate(const std::string& path, Destination& destination);

// Whether the directory open as `dir` is append-only (chattr +a): a name
// made there can never be removed or renamed again. Known only where the
// system says (statx); elsewhere false.
bool AppendOnly(int dir);

// Opens `path` as open(2) with `flags` would, but where it meets a lease
// that another program holds on a regular file (Samba's oplocks, NFS
// delegations), waits as the same open without O_NONBLOCK would.
int OpenWaitingForLeases(const std::string& path, int flags);

// Opens `path` as OpenWaitingForLeases does and gives the file's status.
// On a file system that finds a file's status by its name (sshfs), a file
// that another run has replaced since it was opened has none any more;
// the name is then opened again. Returns the descriptor, or -1 (errno says
// why).
int OpenWithStatus(const std::string& path, int flags, struct stat& status);

// Writes all of `text` at `offset`, or where the file's offset is if
// `offset` is negative. Returns false if a write failed (errno says why).
bool WriteAll(int fd, std::string_view text, off_t offset = -1);

// ---- Signals (EnvPosix.cpp) ----

// Holds back the signals that end the process and may come from outside
// it, for its lifetime; one that arrives meanwhile is delivered when it
// ends.
class SignalsHeld {
 public:
  SignalsHeld();
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;
  ~SignalsHeld();

 private:
  sigset_t saved_;
};

// The temporary file that one of those signals removes before it ends the
// process: `name` in the directory open as `dir`. Set and cleared only
// while a SignalsHeld is alive, so that the handler never sees half of a
// change.
void NameTemporary(int dir, const std::string& name);
void ForgetTemporary();

// ---- Locks (PosixLocks.cpp) ----

enum class LockResult {
  kLocked,
  kBusy,      // held by another, when not waiting
  kNoLocks,   // the file system takes no locks (NFS without lockd):
              // nothing is locked, and the run goes on without
  kError,
};

// Locks the whole file open as `fd`, shared or exclusively, waiting while
// another open of it holds a conflicting lock if `wait`. See the
// definition for which locks these are.
LockResult LockWholeFile(int fd, bool exclusive, bool wait);

// LockForUpdate's lock: the file open for reading and writing, locked
// whole and exclusively through that open.
class PosixFileLock final : public FileLock {
 public:
  PosixFileLock(Descriptor fd, const struct stat& file)
      : fd_(std::move(fd)), file_(file) {}

  int fd() const { return fd_.get(); }
  const struct stat& file() const { return file_; }

 private:
  Descriptor fd_;
  struct stat file_;
};

// A name and the file it leads to, for LockNamed: `open` opens the file
// the name leads to now, into `fd` with its `status`, and says what it
// found. The lock is shared or exclusive. Where the name leads nowhere,
// the run's temporary file in the directory the path leads to tells
// whether a live run is putting a file there.
class NamedFile {
 public:
  using Opener = std::function<Opened(Descriptor& fd, struct stat& status)>;

  NamedFile(std::string path, bool exclusive, Opener open)
      : path_(std::move(path)), exclusive_(exclusive), open_(std::move(open)) {}

  Descriptor& fd() { return fd_; }
  const struct stat& status() const { return status_; }

  // LockNamed's primitives.
  Opened Open() { return open_(fd_, status_); }
  bool Lock();
  Seen IdentifyOpen(FileId& id) {
    return posix::IdentifyOpen(fd_.get(), id, &status_);
  }
  Seen IdentifyName(FileId& id) { return IdentifyPath(path_, id); }
  void Close() { fd_.reset(); }
  bool WaitForReplacement();

 private:
  std::string path_;
  bool exclusive_;
  Opener open_;
  Descriptor fd_;
  struct stat status_ {};
};

// The temporary file of an output called `name`: the new file, while it is
// made, where it cannot be made without a name (O_TMPFILE). There is one
// name per output, ".NAME.hexpoke.tmp", or for a name so long that that
// would pass the usual 255-byte limit, one made from a hash of it; so a
// run killed while the file has that name leaves at most one file behind,
// which the next run on the output removes. The run that makes it holds an
// exclusive lock on it until it ends, which is how another run tells a
// file that a live run is writing from one left behind.
std::string TemporaryName(const std::string& name);

enum class Claim {
  kClaimed,   // made, named, locked: `fd` is it
  kBusy,      // a live run holds it: waited for, if asked; look again
  kRefused,   // it cannot be made (errno says why), or one there cannot be
              // told from a live run's and may not be removed
};

// Makes the temporary file for `name` in the directory open as `dir`,
// removing one that a run left behind; its mode is `mode` as open(2) with
// O_CREAT gives it (the umask or the directory's default ACL applied).
// Where a live run holds one, waits until it is done if `wait`. The file
// is named for the signal handler (NameTemporary) as it is made, and the
// signals are held for that moment only, so that a run waiting here can
// still be interrupted.
Claim ClaimTemporary(int dir, const std::string& name, mode_t mode, bool wait,
                     Descriptor& fd);

// Removes the temporary file of `name` if one is there that no live run
// holds, and that may be removed.
void RemoveLeftTemporary(int dir, const std::string& name);

// Waits for a live run that is putting a file under `name` through its
// temporary file, and returns true once it is done; false at once where
// none is.
bool WaitForTemporary(int dir, const std::string& name);

// ---- Metadata (PosixMetadata.cpp) ----

// What of a file besides its owner, group and permission bits a
// replacement must carry over: its extended attributes, access ACL
// included. Read from the old file when the output is opened.
class Metadata {
 public:
  // Reads them from the file open as `fd`. Returns false if they cannot
  // all be read, or this build cannot carry them over (it cannot see
  // them): the file must then be rewritten in place.
  bool Read(int fd);
  // Gives them to the file open as `to`, the ACL last (setting it sets the
  // group permission bits to its mask), and removes an access ACL that the
  // old file lacked. Returns false if one could not be set.
  bool Write(int to) const;

 private:
  std::vector<std::pair<std::string, std::vector<char>>> attributes_;
  bool has_access_acl_ = false;
  std::vector<char> acl_;
};

// Whether this build carries a replaced file's extended attributes and ACL
// over; one that does not rewrites every existing file in place, since it
// cannot tell which have them.
bool CarriesMetadata();

// ---- Output files (PosixOutput.cpp) ----

// Env::OpenOutput for POSIX systems.
std::unique_ptr<OutputFile> OpenOutputFile(const std::string& path,
                                           std::unique_ptr<FileLock> lock,
                                           const TextLength& length,
                                           OpenFailure& failure);

}  // namespace posix
}  // namespace hexpoke

#endif  // HEXPOKE_ENV_POSIX_FILES_H_
