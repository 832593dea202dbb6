// SPDX-License-Identifier: MIT
// The Env for POSIX systems, Linux in the first place.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/xattr.h>
#endif

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <ios>
#include <istream>
#include <memory>
#include <optional>
#include <random>
#include <streambuf>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "env/Env.h"

namespace hexpoke {

namespace {

// As many links as Linux follows in one path lookup.
constexpr int kMaxLinks = 40;

// The signals whose default action ends the process and that can come from
// outside it: after none of them may a half-made replacement stay behind.
// The program's own faults (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP) are
// left to the debugger or sanitizer that watches for them, and SIGXFSZ is
// ignored so that a write past a size limit fails instead.
const sigset_t& CleanUpSignals() {
  static const sigset_t signals = [] {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal_number :
         {SIGHUP, SIGINT, SIGQUIT, SIGABRT, SIGPIPE, SIGALRM, SIGTERM, SIGUSR1,
          SIGUSR2, SIGXCPU, SIGVTALRM, SIGPROF, SIGSYS}) {
      sigaddset(&set, signal_number);
    }
#ifdef SIGPOLL
    sigaddset(&set, SIGPOLL);
#endif
#ifdef SIGSTKFLT
    sigaddset(&set, SIGSTKFLT);
#endif
#ifdef SIGPWR
    sigaddset(&set, SIGPWR);
#endif
#ifdef SIGRTMIN
    for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX;
         ++signal_number) {
      sigaddset(&set, signal_number);
    }
#endif
    return set;
  }();
  return signals;
}

// The temporary file that a signal ending the process removes: `name` in
// the directory open as `dir`. Set and cleared only while those signals are
// held back (SignalsHeld), so the handler never sees half of a change.
volatile sig_atomic_t g_temporary_named = 0;
int g_temporary_dir = -1;
char g_temporary_name[NAME_MAX + 1];

void RemoveTemporaryAndEnd(int signal_number) {
  if (g_temporary_named) unlinkat(g_temporary_dir, g_temporary_name, 0);
  // End the way the signal would have ended the process, so that the shell
  // that started it sees that signal.
  struct sigaction end_action {};
  end_action.sa_handler = SIG_DFL;
  sigemptyset(&end_action.sa_mask);
  sigaction(signal_number, &end_action, nullptr);
  raise(signal_number);  // delivered as soon as this handler returns
}

// Holds back CleanUpSignals() for its lifetime; one that arrives meanwhile
// is delivered when it ends.
class SignalsHeld {
 public:
  SignalsHeld() { sigprocmask(SIG_BLOCK, &CleanUpSignals(), &saved_); }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;
  ~SignalsHeld() {
    const int saved_errno = errno;
    sigprocmask(SIG_SETMASK, &saved_, nullptr);
    errno = saved_errno;
  }

 private:
  sigset_t saved_;
};

// REQUIRES: a SignalsHeld is alive.
void NameTemporary(int dir, const std::string& name) {
  std::memcpy(g_temporary_name, name.c_str(), name.size() + 1);
  g_temporary_dir = dir;
  g_temporary_named = 1;
}

// REQUIRES: a SignalsHeld is alive.
void ForgetTemporary() { g_temporary_named = 0; }

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

bool SameFile(const struct stat& one, const struct stat& other) {
  return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

// How directories are opened: to look names up in, which needs the right
// to search them but not to read them (a drop box, mode 0733, is one).
#if defined(O_PATH)
constexpr int kDirectoryFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#elif defined(O_SEARCH)
constexpr int kDirectoryFlags = O_SEARCH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

// A descriptor that is closed with its owner.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  Descriptor(Descriptor&& other) noexcept : fd_(other.release()) {}
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  Descriptor& operator=(Descriptor&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

// The name by which the process reaches its own descriptor `fd`.
std::string DescriptorPath(int fd) {
  return "/proc/self/fd/" + std::to_string(fd);
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

// Where an output path leads: the directory that holds what it finally
// names, open to look names up in, and its name there, which is no link;
// or one of the process's own descriptors. What may be written there is
// not decided here but by the kernel, when the path itself is opened.
struct Destination {
  Descriptor dir;
  std::string name;
  int descriptor = -1;  // one of the process's own, or -1
};

// Follows the links that `path` ends in, one at a time, as the kernel
// does: each link's directory is opened relative to the one before (the
// kernel following every link on the way to it), and a relative target is
// looked up from the directory of its link, so that no path passed on is
// longer than the user's own or a link's. Returns false for a loop of
// links, a name too long, a path that cannot be searched, a directory.
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

// Whether the directory open as `dir` is append-only (chattr +a): a name
// made there can never be removed or renamed again.
bool AppendOnly(int dir) {
#ifdef STATX_ATTR_APPEND
  struct statx status {};
  return statx(dir, "", AT_EMPTY_PATH, 0, &status) == 0 &&
         (status.stx_attributes & STATX_ATTR_APPEND) != 0;
#else
  (void)dir;
  return false;
#endif
}

// Opens `path` as open(2) with `flags` would, but where it meets a lease
// that another program holds on a regular file (Samba's oplocks, NFS
// delegations), as the same open without O_NONBLOCK would: the kernel has
// asked the holder to give the lease up and refuses every such open
// (EWOULDBLOCK) until it has, or until it breaks the lease itself after
// fs.lease-break-time. The open is tried again until then, still with
// O_NONBLOCK, so that a FIFO put under the name meanwhile is never waited
// for.
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

// Makes what was written to the device open as `fd` reach it. Written
// through the page cache, a block device gets it only at writeback, whose
// errors would be lost (the kernel logs "lost async page write"), so a
// failed sync is a failed write. A character device, a FIFO or a terminal
// that cannot be synced (EINVAL, as /dev/null gives) holds nothing back.
bool SyncDevice(int fd) {
  if (fsync(fd) == 0) return true;
  struct stat status {};
  return errno == EINVAL && fstat(fd, &status) == 0 &&
         !S_ISBLK(status.st_mode);
}

bool WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = write(fd, text.data(), text.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

bool WriteAllAt(int fd, std::string_view text, off_t offset) {
  while (!text.empty()) {
    const ssize_t written = pwrite(fd, text.data(), text.size(), offset);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(written));
    offset += written;
  }
  return true;
}

mode_t CurrentUmask() {
  const mode_t mask = umask(0);
  umask(mask);
  return mask;
}

// Gives the file open as `to` every extended attribute of the one open as
// `from`, POSIX ACLs included, and no access ACL that `from` lacks (one
// inherited from the directory's default ACL). The ACL comes last: setting
// it also sets the group permission bits, to its mask. Returns false if one
// could not be read or set, so that the file would lose it.
bool CopyExtendedAttributes(int from, int to) {
#ifdef __linux__
  static const char kAccessAcl[] = "system.posix_acl_access";
  std::vector<char> names;
  for (;;) {
    const ssize_t size = flistxattr(from, nullptr, 0);
    if (size < 0) return errno == ENOTSUP;  // none where there can be none
    if (size == 0) break;  // none, as on most files
    names.resize(static_cast<std::size_t>(size));
    const ssize_t got = flistxattr(from, names.data(), names.size());
    if (got >= 0) {
      names.resize(static_cast<std::size_t>(got));
      break;
    }
    if (errno != ERANGE) return false;  // ERANGE: one was added meanwhile
  }
  std::vector<std::string> ordered;
  bool has_access_acl = false;
  for (std::size_t at = 0; at < names.size();) {
    std::string name(names.data() + at);
    at += name.size() + 1;
    if (name == kAccessAcl) {
      has_access_acl = true;
    } else {
      ordered.push_back(std::move(name));
    }
  }
  if (has_access_acl) ordered.emplace_back(kAccessAcl);
  std::vector<char> value;
  for (const std::string& name : ordered) {
    const ssize_t size = fgetxattr(from, name.c_str(), nullptr, 0);
    if (size < 0) return false;
    value.resize(static_cast<std::size_t>(size));
    const ssize_t got = fgetxattr(from, name.c_str(), value.data(), value.size());
    if (got < 0 ||
        fsetxattr(to, name.c_str(), value.data(),
                  static_cast<std::size_t>(got), 0) != 0) {
      return false;
    }
  }
  if (!has_access_acl && fremovexattr(to, kAccessAcl) != 0 &&
      errno != ENODATA && errno != ENOTSUP) {
    return false;
  }
#else
  (void)from;
  (void)to;
#endif
  return true;
}

// Locks the whole file open as `fd`, shared (F_RDLCK) or exclusively
// (F_WRLCK), waiting while another open of it holds a lock that conflicts.
// An open file description lock: unlike a classic record lock, closing
// some other descriptor of the file does not drop it, and it ends only
// when the last descriptor of this open is closed, at the latest with the
// process. An exclusive one needs `fd` open for writing. Where the system
// has no such locks, flock(2); where the file system has no locks, nothing
// is locked.
void LockWholeFile(int fd, short type) {
#ifdef F_OFD_SETLKW
  struct flock whole {};
  whole.l_type = type;
  whole.l_whence = SEEK_SET;
  for (;;) {
    if (fcntl(fd, F_OFD_SETLKW, &whole) == 0) return;
    if (errno == EINVAL) break;  // no such locks on this system
    if (errno != EINTR) return;  // none on this file system
  }
#endif
  const int operation = type == F_WRLCK ? LOCK_EX : LOCK_SH;
  while (flock(fd, operation) != 0 && errno == EINTR) {
  }
}

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

// Reads a file through a descriptor, byte for byte: one of its own, closed
// with it, or one that it borrows.
class DescriptorReader final : public std::streambuf {
 public:
  explicit DescriptorReader(Descriptor owned)
      : fd_(owned.get()), owned_(std::move(owned)) {}
  explicit DescriptorReader(int borrowed) : fd_(borrowed) {}

 protected:
  int_type underflow() override {
    const std::size_t got = ReadSome(buffer_, sizeof buffer_);
    if (got == 0) return traits_type::eof();
    setg(buffer_, buffer_, buffer_ + got);
    return traits_type::to_int_type(buffer_[0]);
  }

  // A large read goes straight to the caller's buffer.
  std::streamsize xsgetn(char* to, std::streamsize count) override {
    std::streamsize done = std::min<std::streamsize>(count, egptr() - gptr());
    if (done > 0) {
      std::memcpy(to, gptr(), static_cast<std::size_t>(done));
      gbump(static_cast<int>(done));
    }
    while (done < count) {
      const std::size_t got =
          ReadSome(to + done, static_cast<std::size_t>(count - done));
      if (got == 0) break;
      done += static_cast<std::streamsize>(got);
    }
    return done;
  }

 private:
  // The stream reading this turns the exception into badbit: an error, not
  // an end.
  std::size_t ReadSome(char* to, std::size_t count) {
    for (;;) {
      const ssize_t got = read(fd_, to, count);
      if (got >= 0) return static_cast<std::size_t>(got);
      if (errno != EINTR) throw std::ios_base::failure("read failed");
    }
  }

  int fd_;
  Descriptor owned_;
  char buffer_[4096] = {};
};

class DescriptorInput final : public std::istream {
 public:
  template <typename Fd>
  explicit DescriptorInput(Fd fd)
      : std::istream(nullptr), reader_(std::move(fd)) {
    rdbuf(&reader_);
  }

 private:
  DescriptorReader reader_;
};

// An output path as the kernel opened it: the directory it lies in and its
// name there, the file itself where there is one, opened as a shell's
// `> path` opens it but for O_TRUNC, and the run's lock on the file, if
// any, which it keeps until it goes.
struct OpenedFile {
  Descriptor dir;
  std::string name;
  Descriptor fd;  // -1 for a name that is nothing yet
  struct stat status {};  // of fd
  std::unique_ptr<FileLock> lock;

  bool exists() const { return fd.get() >= 0; }

  // Whether the run's lock is on this file.
  bool locked() const {
    // Every FileLock of this Env is a PosixFileLock.
    return lock && SameFile(static_cast<PosixFileLock&>(*lock).file(), status);
  }

  // Whether the name in the directory still leads to `file` (the same
  // device and inode), or to nothing when `file` is null. Sets errno to
  // EEXIST where it leads to another file.
  bool NameLeadsTo(const struct stat* file) const {
    struct stat now {};
    if (fstatat(dir.get(), name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0) {
      return file == nullptr && errno == ENOENT;
    }
    if (file != nullptr && SameFile(now, *file)) return true;
    errno = EEXIST;
    return false;
  }

  // What the path named went away between the look and the open, so the
  // open made a new file there, empty and of mode 0; it goes again, so that
  // a run that fails leaves nothing behind.
  void RemoveMadeByOpen() const {
    if (!S_ISREG(status.st_mode) || status.st_uid != geteuid() ||
        status.st_size != 0 || (status.st_mode & 07777) != 0) {
      return;
    }
    if (NameLeadsTo(&status)) unlinkat(dir.get(), name.c_str(), 0);
  }

  // Whether making a new file beside it failed (`error`) for a reason that
  // is the directory's alone and says nothing of writing the file: no right
  // to make one there (EACCES, or EPERM where the directory is immutable),
  // a read-only mount (EROFS, where a writable file is mounted into it), a
  // name too long for it, or any error at all where the file lies on
  // another file system (one mounted over its name).
  bool RefusedByDirectory(int error) const {
    if (error == EACCES || error == EPERM || error == EROFS ||
        error == ENAMETOOLONG) {
      return true;
    }
    struct stat directory {};
    return fstat(dir.get(), &directory) == 0 &&
           directory.st_dev != status.st_dev;
  }

  // A name for a new file beside it that tells whose it is, unless the
  // file's name is so long that it would pass the usual 255-byte limit.
  std::string TemporaryName() const {
    std::random_device seed;
    const std::string prefix = name.size() <= 200 ? "." + name : "";
    return prefix + ".hexpoke-" + std::to_string(seed() % 1000000000) + ".tmp";
  }

  // Makes a new file in the directory, readable and writable by its owner
  // only, and returns its descriptor. On Linux it has no name (O_TMPFILE,
  // `temporary_name` left empty) until it is complete, so that not even
  // SIGKILL can leave it behind; where no such file can be made, it is
  // named, if `may_name`, and a signal that ends the process removes it.
  // Sets errno and returns -1 if none can be made.
  int CreateTemporary(bool may_name, std::string& temporary_name) const {
#ifdef O_TMPFILE
    // Linking it into the directory later names it through /proc.
    if (access("/proc/self/fd", X_OK) == 0) {
      const int made =
          openat(dir.get(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
      if (made >= 0) return made;
    }
#endif
    if (!may_name) return -1;
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::string candidate = TemporaryName();
      const SignalsHeld held;
      const int made =
          openat(dir.get(), candidate.c_str(),
                 O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
      if (made >= 0) {
        NameTemporary(dir.get(), candidate);
        temporary_name = std::move(candidate);
        return made;
      }
      if (errno != EEXIST) return -1;
    }
    return -1;
  }
};

// A device, a FIFO or one of the process's own descriptors (standard
// output reached by name): the text goes straight to it.
class DirectFile final : public OutputFile {
 public:
  // A device or a FIFO opened for this.
  DirectFile(Descriptor owned, std::unique_ptr<FileLock> lock)
      : fd_(owned.get()), owned_(std::move(owned)), lock_(std::move(lock)) {}
  // One of the process's own descriptors.
  DirectFile(int borrowed, std::unique_ptr<FileLock> lock)
      : fd_(borrowed), lock_(std::move(lock)) {}

  OutputMethod method() const override {
    return owned() ? OutputMethod::kWriteDirectly
                   : OutputMethod::kWriteOwnDescriptor;
  }

  bool Append(std::string_view text) override { return WriteAll(fd_, text); }

  bool Commit() override {
    // A file that the process's descriptor leads to is the caller's, who may
    // go on writing it; a device is synced as any other.
    if (!owned()) {
      struct stat status {};
      if (fstat(fd_, &status) != 0 ||
          (!S_ISBLK(status.st_mode) && !S_ISCHR(status.st_mode))) {
        return true;
      }
    }
    return SyncDevice(fd_);
  }

 private:
  bool owned() const { return owned_.get() >= 0; }

  int fd_;
  Descriptor owned_;
  std::unique_ptr<FileLock> lock_;
};

// A regular file rewritten in place through the descriptor it was opened
// with, under an exclusive lock, so that two runs rewriting it follow one
// another and none reads it half rewritten. From the first Append() on, the
// file is locked and the signals that end the process are held until this
// goes.
class RewrittenFile final : public OutputFile {
 public:
  explicit RewrittenFile(OpenedFile file) : file_(std::move(file)) {}

  OutputMethod method() const override {
    return OutputMethod::kRewriteInPlace;
  }

  // Written over the old text as it comes, never held whole: it can be
  // many times the size of the image it is made from.
  bool Append(std::string_view text) override {
    if (!Start()) return false;
    failed_ = !WriteAllAt(file_.fd.get(), text, written_);
    written_ += static_cast<off_t>(text.size());
    return !failed_;
  }

  // Writing over the old contents before cutting them to length needs no
  // new space when the file keeps its size, as a patched image usually
  // does.
  bool Commit() override {
    return Start() && ftruncate(file_.fd.get(), written_) == 0 &&
           fsync(file_.fd.get()) == 0;
  }

 private:
  // Sets the file up to be written over, the first time it is called;
  // returns whether it may be, as long as every write so far succeeded.
  bool Start() {
    if (!held_) {
      // The run's own lock on the file is that lock already; a second one,
      // through this open, would wait for it forever. Waited for before the
      // signals are held, so that a run waiting for another one can still
      // be interrupted.
      if (!file_.locked()) LockWholeFile(file_.fd.get(), F_WRLCK);
      // A signal waits until the file is whole again.
      held_.emplace();
      failed_ = !file_.NameLeadsTo(&file_.status);
    }
    return !failed_;
  }

  OpenedFile file_;
  off_t written_ = 0;  // of the new text, over the old
  bool failed_ = false;
  std::optional<SignalsHeld> held_;
};

// A regular file, or a name that is nothing yet, replaced: the text goes to
// a new file beside it, which takes the old one's place in Commit(). Where
// it cannot take the old one's owner, group or extended attributes, or its
// place, the old file is handed over to a RewrittenFile, which gets the new
// file's text.
class ReplacedFile final : public OutputFile {
 public:
  // `temporary` is the new file, made by file.CreateTemporary, which named
  // it `temporary_name` or nothing.
  ReplacedFile(OpenedFile file, int temporary, std::string temporary_name)
      : file_(std::move(file)),
        temporary_(temporary),
        temporary_name_(std::move(temporary_name)) {}
  ~ReplacedFile() override {
    DiscardTemporaryName();
    close(temporary_);
  }

  OutputMethod method() const override {
    return rewrite_ ? OutputMethod::kRewriteInPlace : OutputMethod::kReplace;
  }

  bool Append(std::string_view text) override {
    return WriteAll(temporary_, text);
  }

  bool Commit() override {
    // Not as the old file was: as Vim does, keep the file and its identity
    // and write it in place instead.
    if (!CarryOverIdentity()) return RewriteInstead();
    if (fsync(temporary_) != 0) return false;
    if (!PutInPlace()) {
      // A name that a file is mounted on (a single file bind-mounted into a
      // container) cannot be renamed over (EBUSY), nor one on another file
      // system (EXDEV); the file itself can still be written.
      return (errno == EBUSY || errno == EXDEV) && RewriteInstead();
    }
    SyncDirectory();
    return true;
  }

 private:
  // Gives the new file what the old one had (as cp --preserve=all does),
  // in this order: owner and group (which clears set-ID bits), then the
  // permission bits, then the extended attributes. A new file gets what
  // creating it would have given it. Returns false if the old file's owner,
  // group or attributes cannot all be carried over.
  bool CarryOverIdentity() {
    if (!file_.exists()) return GiveCreationMode();
    const struct stat& original = file_.status;
    struct stat made {};
    if (fstat(temporary_, &made) != 0) return false;
    if ((made.st_uid != original.st_uid || made.st_gid != original.st_gid) &&
        fchown(temporary_, original.st_uid, original.st_gid) != 0) {
      return false;
    }
    return fchmod(temporary_, original.st_mode & 07777) == 0 &&
           CopyExtendedAttributes(file_.fd.get(), temporary_);
  }

  // What open(2) with mode 0666 gives a file: the umask, or where the
  // directory has a default ACL, that ACL as the file's own with every entry
  // that the mode bits stand for cut to what 0666 allows. Setting the ACL
  // makes the bits its own; chmod to them within 0666 cuts those entries.
  bool GiveCreationMode() {
#ifdef __linux__
    static const char kDefaultAcl[] = "system.posix_acl_default";
    std::vector<char> acl;
    for (;;) {
      const ssize_t size = DirectoryAttribute(kDefaultAcl, nullptr, 0);
      if (size < 0) break;
      acl.resize(static_cast<std::size_t>(size));
      const ssize_t got =
          DirectoryAttribute(kDefaultAcl, acl.data(), acl.size());
      if (got < 0 && errno == ERANGE) continue;  // changed meanwhile
      if (got < 0) return false;
      struct stat given {};
      return fsetxattr(temporary_, "system.posix_acl_access", acl.data(),
                       static_cast<std::size_t>(got), 0) == 0 &&
             fstat(temporary_, &given) == 0 &&
             fchmod(temporary_, given.st_mode & 0666) == 0;
    }
    if (errno != ENODATA && errno != ENOTSUP) return false;
#endif
    return fchmod(temporary_, 0666 & ~CurrentUmask()) == 0;
  }

#ifdef __linux__
  // The directory's extended attribute `name`, as fgetxattr(2) gives it.
  // The directory is open only to look names up in, which is not enough
  // for fgetxattr, so its attributes are read through the descriptor's
  // name in /proc, or where there is no /proc, through the directory opened
  // to be read.
  ssize_t DirectoryAttribute(const char* name, void* value,
                             std::size_t size) const {
    const ssize_t got =
        getxattr(DescriptorPath(file_.dir.get()).c_str(), name, value, size);
    if (got >= 0 || errno != ENOENT) return got;
    const Descriptor readable(
        openat(file_.dir.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return readable.get() < 0 ? -1 : fgetxattr(readable.get(), name, value,
                                               size);
  }
#endif

  // Hands the old file over to a rewrite in place, which gets the new
  // file's text; the new file goes.
  bool RewriteInstead() {
    if (!file_.exists()) return false;
    DiscardTemporaryName();
    rewrite_ = std::make_unique<RewrittenFile>(std::move(file_));
    return CopyTemporaryTo(*rewrite_) && rewrite_->Commit();
  }

  // Appends the new file's text to `file`, a piece at a time.
  bool CopyTemporaryTo(OutputFile& file) const {
    struct stat status {};
    if (fstat(temporary_, &status) != 0) return false;
    std::vector<char> piece(std::size_t{64} * 1024);
    for (off_t done = 0; done < status.st_size;) {
      const ssize_t got = pread(temporary_, piece.data(), piece.size(), done);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0 || !file.Append(std::string_view(
                          piece.data(), static_cast<std::size_t>(got)))) {
        return false;
      }
      done += got;
    }
    return true;
  }

  // Puts the new file under the name. A signal meanwhile waits until that
  // is done, so that it never leaves the new file under its temporary name.
  bool PutInPlace() {
    const SignalsHeld held;
    const int dir = file_.dir.get();
    if (!file_.exists()) {
      if (!PutNewFileInPlace()) return false;
    } else {
      if (temporary_name_.empty() && !LinkTemporary()) return false;
      // Whatever has been put under the name since it was opened is not
      // what the kernel allowed this run to replace.
      if (!file_.NameLeadsTo(&file_.status) ||
          renameat(dir, temporary_name_.c_str(), dir, file_.name.c_str()) !=
              0) {
        return false;
      }
    }
    ForgetTemporary();
    temporary_name_.clear();
    return true;
  }

  // A new file takes its name only if nothing has taken it meanwhile. One
  // without a name gets the final name at once, never a temporary one.
  // REQUIRES: a SignalsHeld is alive.
  bool PutNewFileInPlace() {
    const int dir = file_.dir.get();
    if (temporary_name_.empty()) {
      return linkat(AT_FDCWD, DescriptorPath(temporary_).c_str(), dir,
                    file_.name.c_str(), AT_SYMLINK_FOLLOW) == 0;
    }
#ifdef RENAME_NOREPLACE
    if (renameat2(dir, temporary_name_.c_str(), dir, file_.name.c_str(),
                  RENAME_NOREPLACE) == 0) {
      return true;
    }
    if (errno != EINVAL && errno != ENOSYS) return false;  // not offered here
#endif
    return file_.NameLeadsTo(nullptr) &&
           renameat(dir, temporary_name_.c_str(), dir, file_.name.c_str()) ==
               0;
  }

  // Gives the unnamed new file a name in the directory, to rename from.
  // REQUIRES: a SignalsHeld is alive.
  bool LinkTemporary() {
    const std::string self = DescriptorPath(temporary_);
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::string name = file_.TemporaryName();
      if (linkat(AT_FDCWD, self.c_str(), file_.dir.get(), name.c_str(),
                 AT_SYMLINK_FOLLOW) == 0) {
        NameTemporary(file_.dir.get(), name);
        temporary_name_ = std::move(name);
        return true;
      }
      if (errno != EEXIST) return false;
    }
    return false;
  }

  // Removes the new file's name, if it has one; its text stays readable
  // until it is closed.
  void DiscardTemporaryName() {
    if (temporary_name_.empty()) return;
    const SignalsHeld held;
    unlinkat(file_.dir.get(), temporary_name_.c_str(), 0);
    ForgetTemporary();
    temporary_name_.clear();
  }

  // Makes the rename itself survive a power cut. The file is in place
  // whatever this gives (some file systems cannot sync a directory), so a
  // failure here is no reason to report that nothing was written. A
  // directory that may not be read (a drop box) cannot be opened to be
  // synced; the file's own sync then carries the rename where the file
  // system journals it with the file's change (ext4, XFS).
  void SyncDirectory() const {
    const Descriptor readable(
        openat(file_.dir.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    fsync(readable.get() >= 0 ? readable.get() : temporary_);
  }

  OpenedFile file_;  // moved to rewrite_ if that takes over
  int temporary_;
  std::string temporary_name_;  // empty while the new file has no name
  std::unique_ptr<RewrittenFile> rewrite_;
};

// Opens what `path` names the way a shell's `> path` opens it, but for
// O_TRUNC, so that the kernel makes every check it makes there: the
// permissions, and in sticky directories fs.protected_symlinks,
// protected_regular and protected_fifos; and returns the OutputFile that
// writes what it found, or nullptr. `located` is where Locate found the
// path to lead; it must be where the kernel got to.
std::unique_ptr<OutputFile> OpenLocated(const std::string& path,
                                        Destination& located,
                                        std::unique_ptr<FileLock> lock) {
  OpenedFile file;
  file.dir = std::move(located.dir);
  file.name = std::move(located.name);
  file.lock = std::move(lock);
  std::string temporary_name;
  // Looked at through the same links first, so that the open below never
  // makes a file: a new one gets its name only once it is complete.
  struct stat reached {};
  if (stat(path.c_str(), &reached) != 0) {
    // A name that is nothing yet. In an append-only directory only a file
    // without a name can be made and put in place without leaving a name
    // that can never be removed.
    if (errno != ENOENT || !file.NameLeadsTo(nullptr)) return nullptr;
    const int made =
        file.CreateTemporary(!AppendOnly(file.dir.get()), temporary_name);
    if (made < 0) return nullptr;
    return std::make_unique<ReplacedFile>(std::move(file), made,
                                          std::move(temporary_name));
  }
  if (S_ISDIR(reached.st_mode)) return nullptr;
  // O_CREAT though the file is there: the kernel checks for planted files
  // and FIFOs only in an open that may create. A FIFO waits for its reader,
  // as for a shell; a regular file swapped for a FIFO meanwhile must not.
  const int no_wait = S_ISREG(reached.st_mode) ? O_NONBLOCK : 0;
  file.fd = Descriptor(OpenWaitingForLeases(
      path, O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC | no_wait));
  if (file.fd.get() < 0 || fstat(file.fd.get(), &file.status) != 0) {
    return nullptr;
  }
  if (!SameFile(file.status, reached)) {
    file.RemoveMadeByOpen();
    return nullptr;
  }
  if (!S_ISREG(file.status.st_mode)) {
    return std::make_unique<DirectFile>(std::move(file.fd),
                                        std::move(file.lock));
  }
  if (!file.NameLeadsTo(&file.status)) return nullptr;
  // There a new file could never be renamed over the old one, nor removed.
  if (AppendOnly(file.dir.get())) {
    return std::make_unique<RewrittenFile>(std::move(file));
  }
  const int made = file.CreateTemporary(true, temporary_name);
  if (made >= 0) {
    return std::make_unique<ReplacedFile>(std::move(file), made,
                                          std::move(temporary_name));
  }
  // No new file may be made beside it: the old one can still be written.
  if (file.RefusedByDirectory(errno)) {
    return std::make_unique<RewrittenFile>(std::move(file));
  }
  return nullptr;
}

class PosixEnv final : public Env {
 public:
  void InitProcess() override {
    // Past a file-size limit a write fails, and the run reports it and
    // removes its temporary file, instead of ending at once.
    signal(SIGXFSZ, SIG_IGN);
    const sigset_t& signals = CleanUpSignals();
    struct sigaction action {};
    action.sa_handler = RemoveTemporaryAndEnd;
    action.sa_mask = signals;
    action.sa_flags = SA_RESTART;
    // Each handler is set in the call that reads the one before it, which
    // halves the calls at start-up; meanwhile the signals wait, so that none
    // meets a handler that is taken back.
    const SignalsHeld held;
    for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
      if (sigismember(&signals, signal_number) != 1) continue;
      struct sigaction previous {};
      if (sigaction(signal_number, &action, &previous) != 0) continue;
      // One that the caller ignores stays ignored, as nohup leaves SIGHUP;
      // one that a sanitizer handles is left to it.
      if ((previous.sa_flags & SA_SIGINFO) != 0 || previous.sa_handler != SIG_DFL) {
        sigaction(signal_number, &previous, nullptr);
      }
    }
  }

  std::vector<std::string> Arguments(int argc, char* argv[]) override {
    return std::vector<std::string>(argv, argv + argc);
  }

  std::unique_ptr<FileLock> LockForUpdate(const std::string& input,
                                          const std::string& output) override {
    for (;;) {
      struct stat written {};
      struct stat read {};
      if (stat(output.c_str(), &written) != 0 || !S_ISREG(written.st_mode)) {
        return nullptr;
      }
      // The usual in-place patch names the file the same way twice.
      if (input == output) {
        read = written;
      } else if (stat(input.c_str(), &read) != 0) {
        return nullptr;
      }
      if (!SameFile(read, written)) {
        // Two files, unless another run put a new file under the output's
        // name between the two looks: then they are looked at again.
        struct stat again {};
        if (stat(output.c_str(), &again) != 0 || SameFile(again, written)) {
          return nullptr;
        }
        continue;
      }
      // Opened for writing, which an exclusive lock needs, but neither to
      // truncate nor to create: nothing changes here, and the output is
      // opened as the kernel allows when it is written.
      Descriptor fd(OpenWaitingForLeases(
          input, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
      struct stat locked {};
      if (fd.get() < 0 || fstat(fd.get(), &locked) != 0) return nullptr;
      if (!SameFile(locked, read)) continue;  // replaced meanwhile
      LockWholeFile(fd.get(), F_WRLCK);
      // A run that held the lock meanwhile may have put a new file under
      // the name, and a lock on the old one keeps nobody from the new one.
      if (stat(input.c_str(), &read) != 0) return nullptr;
      if (SameFile(read, locked)) {
        return std::make_unique<PosixFileLock>(std::move(fd), locked);
      }
    }
  }

  std::unique_ptr<std::istream> OpenInput(const std::string& path,
                                          const FileLock* lock) override {
    // Every FileLock of this Env is a PosixFileLock.
    if (lock != nullptr) {
      return std::make_unique<DescriptorInput>(
          static_cast<const PosixFileLock*>(lock)->fd());
    }
    Descriptor fd(open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC));
    if (fd.get() < 0) return nullptr;
    LockWholeFile(fd.get(), F_RDLCK);
    return std::make_unique<DescriptorInput>(std::move(fd));
  }

  std::unique_ptr<OutputFile> OpenOutput(
      const std::string& path, std::unique_ptr<FileLock> lock) override {
    Destination destination;
    if (path.empty() || !Locate(path, destination)) return nullptr;
    if (destination.descriptor < 0) {
      return OpenLocated(path, destination, std::move(lock));
    }
    // Written through, never opened again; but the links on the way are
    // still the kernel's to allow.
    struct stat reached {};
    const int flags = fcntl(destination.descriptor, F_GETFL);
    if (stat(path.c_str(), &reached) != 0 || flags < 0 ||
        (flags & O_ACCMODE) == O_RDONLY) {
      return nullptr;
    }
    return std::make_unique<DirectFile>(destination.descriptor,
                                        std::move(lock));
  }
};

}  // namespace

Env* Env::Default() {
  static PosixEnv env;
  return &env;
}

}  // namespace hexpoke
