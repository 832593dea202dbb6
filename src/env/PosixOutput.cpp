// SPDX-License-Identifier: MIT
// Output files, for the POSIX Env: what the output path names decides once
// how it is written (see OutputFile in Env.h), and one class writes each
// kind.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "env/PosixFiles.h"

namespace hexpoke {
namespace posix {

namespace {

// Where written text goes a piece at a time: the size of the pieces in
// which a file's own text is copied or compared.
constexpr std::size_t kPiece = std::size_t{64} * 1024;

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

// Makes a rename in the directory open as `dir` survive a power cut. The
// file is in place whatever this gives (some file systems cannot sync a
// directory), so a failure here is no reason to report that nothing was
// written. A directory that may not be read (a drop box) cannot be opened
// to be synced; the file's own sync then carries the rename where the file
// system journals it with the file's change (ext4, XFS).
void SyncDirectory(int dir, int file) {
  const Descriptor readable(
      openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  fsync(readable.get() >= 0 ? readable.get() : file);
}

// The errors of link(2) on a file system without hard links (FAT, exFAT).
bool NoHardLinks(int error) {
  return error == EPERM || error == ENOTSUP || error == EOPNOTSUPP ||
         error == ENOSYS;
}

// Renames `from` to `to` in the directory open as `dir` only if nothing is
// under `to`: atomically where the file system offers that
// (RENAME_NOREPLACE), or has hard links (a link under `to`, which fails if
// anything is there, then `from` removed). On one without hard links (FAT,
// exFAT through FUSE) `to` is looked at just before the rename, and a file
// that another program puts there in between is replaced.
bool RenameNoReplace(int dir, const std::string& from, const std::string& to) {
#if HEXPOKE_LINUX_CALLS && defined(RENAME_NOREPLACE)
  if (renameat2(dir, from.c_str(), dir, to.c_str(), RENAME_NOREPLACE) == 0) {
    return true;
  }
  if (errno != EINVAL && errno != ENOSYS) return false;  // not offered here
#endif
  if (linkat(dir, from.c_str(), dir, to.c_str(), 0) == 0) {
    unlinkat(dir, from.c_str(), 0);
    return true;
  }
  if (!NoHardLinks(errno)) return false;
  struct stat status {};
  if (fstatat(dir, to.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 ||
      errno != ENOENT) {
    errno = EEXIST;
    return false;
  }
  return renameat(dir, from.c_str(), dir, to.c_str()) == 0;
}

// The new file beside an output while it is made: without a name where the
// file system can make one (O_TMPFILE), so that not even SIGKILL leaves it
// behind, or else under TemporaryName. It goes when this goes, unless it
// has taken its place.
class Temporary {
 public:
  // `dir` is the output's directory, which must outlive this.
  Temporary(int dir, std::string output_name)
      : dir_(dir), output_name_(std::move(output_name)) {}
  Temporary(Temporary&& other) noexcept
      : dir_(other.dir_),
        output_name_(std::move(other.output_name_)),
        fd_(std::move(other.fd_)),
        name_(std::exchange(other.name_, std::string())) {}
  Temporary& operator=(Temporary&&) = delete;
  ~Temporary() { Discard(); }

  int fd() const { return fd_.get(); }
  bool named() const { return !name_.empty(); }
  const std::string& name() const { return name_; }

  // Makes the file, with `mode` as open(2) with O_CREAT gives it, locked.
  // A named one is made only if `may_name`; where a live run holds the
  // name, waits for it if `wait`, and returns kBusy.
  Claim Create(mode_t mode, bool may_name, bool wait) {
#if HEXPOKE_LINUX_CALLS && defined(O_TMPFILE)
    // Linking it into the directory later names it through /proc.
    if (access("/proc/self/fd", X_OK) == 0) {
      fd_ = Descriptor(openat(dir_, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode));
      if (fd_.get() >= 0) {
        // Locked before it can have a name, so that no run takes it for
        // one left behind.
        if (LockWholeFile(fd_.get(), true, false) == LockResult::kError) {
          fd_.reset();
          return Claim::kRefused;
        }
        return Claim::kClaimed;
      }
    }
#endif
    if (!may_name) return Claim::kRefused;
    const Claim claimed = ClaimTemporary(dir_, output_name_, mode, wait, fd_);
    if (claimed == Claim::kClaimed) name_ = TemporaryName(output_name_);
    return claimed;
  }

  // Gives the file made without a name the temporary one, to rename from.
  // REQUIRES: a SignalsHeld is alive.
  bool GiveName() {
    const std::string temporary = TemporaryName(output_name_);
    for (int attempt = 0; attempt < 2; ++attempt) {
      if (linkat(AT_FDCWD, DescriptorPath(fd_.get()).c_str(), dir_,
                 temporary.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        NameTemporary(dir_, temporary);
        name_ = temporary;
        return true;
      }
      if (errno != EEXIST) return false;
      RemoveLeftTemporary(dir_, output_name_);
    }
    return false;
  }

  // Puts the unnamed file under `name`, only if nothing is there.
  bool LinkAs(const std::string& name) const {
    return linkat(AT_FDCWD, DescriptorPath(fd_.get()).c_str(), dir_,
                  name.c_str(), AT_SYMLINK_FOLLOW) == 0;
  }

  // The file has taken its place: its name is the output's now.
  // REQUIRES: a SignalsHeld is alive.
  void Placed() {
    ForgetTemporary();
    name_.clear();
  }

  // Removes the file's name, if it has one; its text stays readable
  // through fd() until this goes.
  void Discard() {
    if (name_.empty()) return;
    const SignalsHeld held;
    unlinkat(dir_, name_.c_str(), 0);
    ForgetTemporary();
    name_.clear();
  }

 private:
  int dir_;
  std::string output_name_;
  Descriptor fd_;
  std::string name_;  // empty while the file has no name
};

// A regular file that the output path leads to, opened as a shell's
// `> path` opens it but for O_TRUNC (and for reading too, where the user
// may), and locked: by the run's LockForUpdate lock, kept here until this
// goes, or through `fd` itself.
struct LockedFile {
  Descriptor dir;  // the directory the path leads to
  std::string name;  // the file's name there
  Descriptor fd;
  struct stat status {};  // of fd
  bool readable = false;  // fd is open for reading too
  std::unique_ptr<FileLock> update_lock;

  // Whether the name in the directory still leads to the file. Sets errno
  // to EEXIST where it leads to another.
  bool StillNamed() const {
    struct stat now {};
    if (fstatat(dir.get(), name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0) {
      return false;
    }
    if (SameFile(now, status)) return true;
    errno = EEXIST;
    return false;
  }

  // Whether making a new file beside it failed (`error`) for a reason that
  // is the directory's alone and says nothing of writing the file: no right
  // to make one there (EACCES, or EPERM where the directory is immutable),
  // a read-only mount (EROFS, where a writable file is mounted into it), a
  // name too long for it, a file left there that may not be removed
  // (EEXIST), or any error at all where the file lies on another file
  // system (one mounted over its name).
  bool RefusedByDirectory(int error) const {
    if (error == EACCES || error == EPERM || error == EROFS ||
        error == ENAMETOOLONG || error == EEXIST) {
      return true;
    }
    struct stat directory {};
    return fstat(dir.get(), &directory) == 0 &&
           directory.st_dev != status.st_dev;
  }
};

// A device or a FIFO, opened for the run: the text goes straight to it.
class DeviceFile final : public OutputFile {
 public:
  explicit DeviceFile(Descriptor fd) : fd_(std::move(fd)) {}

  bool Append(std::string_view text) override {
    return WriteAll(fd_.get(), text);
  }
  bool Commit() override { return SyncDevice(fd_.get()); }

 private:
  Descriptor fd_;
};

// One of the process's own descriptors (standard output reached by name):
// the text goes through it, after what was written there before.
class OwnDescriptorFile final : public OutputFile {
 public:
  explicit OwnDescriptorFile(int fd) : fd_(fd) {}

  bool Append(std::string_view text) override { return WriteAll(fd_, text); }

  // A file that it leads to is the caller's, who may go on writing it; a
  // device is synced as any other.
  bool Commit() override {
    struct stat status {};
    if (fstat(fd_, &status) != 0 ||
        (!S_ISBLK(status.st_mode) && !S_ISCHR(status.st_mode))) {
      return true;
    }
    return SyncDevice(fd_);
  }

 private:
  int fd_;
};

// A regular file rewritten in place through the descriptor it was opened
// with, under the run's exclusive lock, so that two runs rewriting it
// follow one another and none reads it half rewritten. From the first
// Append() on, the signals that end the process are held until this goes.
// The text goes over the old one as it comes (it is never held whole: it
// can be many times the size of the image it is made from), where it
// differs from what is there; Commit() cuts the file to its length.
class RewrittenFile final : public OutputFile {
 public:
  RewrittenFile(LockedFile file, TextLength length)
      : file_(std::move(file)),
        length_(std::move(length)),
        old_size_(file_.status.st_size) {}

  bool Append(std::string_view text) override {
    if (!Start()) return false;
    if (!Unchanged(text)) failed_ = !WriteAll(file_.fd.get(), text, written_);
    written_ += static_cast<off_t>(text.size());
    return !failed_;
  }

  bool Commit() override {
    if (!Start() || failed_ || !file_.StillNamed()) return false;
    struct stat now {};
    // Some file systems refuse to "cut" a file to the length it has (FAT
    // through FUSE).
    if (fstat(file_.fd.get(), &now) != 0 ||
        (now.st_size != written_ && ftruncate(file_.fd.get(), written_) != 0)) {
      return false;
    }
    // Parts left as they were are written for all that.
    futimens(file_.fd.get(), nullptr);
    return fsync(file_.fd.get()) == 0;
  }

 private:
  // Sets the file up to be written over, the first time it is called;
  // returns whether it may be, as long as every write so far succeeded.
  bool Start() {
    if (!held_) {
      // A signal waits until the file is whole again.
      held_.emplace();
      failed_ = !file_.StillNamed() || !MakeRoom();
    }
    return !failed_;
  }

  // Writes zeros past the old end up to the new one, so that a disk too
  // full or a size limit too small for the text fails here, and the old
  // file is then cut back to what it was, unchanged. Writing over what is
  // there needs no room, but on a file system that copies on write
  // (btrfs); there only what differs is written.
  bool MakeRoom() {
    if (!length_) return true;
    const auto length = static_cast<off_t>(length_());
    // Past the process's file size limit a write fails wherever it starts,
    // over the old text too, where the file is already longer than the
    // limit: the rewrite would stop halfway through.
    struct rlimit limit {};
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 &&
        limit.rlim_cur != RLIM_INFINITY &&
        static_cast<rlim_t>(length) > limit.rlim_cur) {
      errno = EFBIG;
      return false;
    }
    const std::vector<char> zeros(kPiece, '\0');
    for (off_t at = old_size_; at < length;) {
      const std::size_t piece =
          static_cast<std::size_t>(std::min<off_t>(length - at, kPiece));
      if (!WriteAll(file_.fd.get(), std::string_view(zeros.data(), piece),
                    at)) {
        const int error = errno;
        if (ftruncate(file_.fd.get(), old_size_) != 0) return false;
        errno = error;
        return false;
      }
      at += static_cast<off_t>(piece);
    }
    return true;
  }

  // Whether `text`, at the place it goes, is what the old file holds
  // there already.
  bool Unchanged(std::string_view text) {
    if (!file_.readable || written_ + static_cast<off_t>(text.size()) >
                               old_size_) {
      return false;
    }
    old_.resize(text.size());
    std::size_t done = 0;
    while (done < text.size()) {
      const ssize_t got = pread(file_.fd.get(), old_.data() + done,
                                text.size() - done,
                                written_ + static_cast<off_t>(done));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;
      done += static_cast<std::size_t>(got);
    }
    return std::memcmp(old_.data(), text.data(), text.size()) == 0;
  }

  LockedFile file_;
  TextLength length_;
  off_t old_size_;
  off_t written_ = 0;  // of the new text, over the old
  bool failed_ = false;
  std::vector<char> old_;  // the old text where a piece goes
  std::optional<SignalsHeld> held_;
};

// Appends the text of the file open as `from`, of `size` bytes, to `to`, a
// piece at a time.
bool CopyFile(int from, off_t size, OutputFile& to) {
  std::vector<char> piece(kPiece);
  for (off_t done = 0; done < size;) {
    const ssize_t got = pread(from, piece.data(), piece.size(), done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0 ||
        !to.Append(std::string_view(piece.data(),
                                    static_cast<std::size_t>(got)))) {
      return false;
    }
    done += got;
  }
  return true;
}

// A regular file replaced: the text goes to a new file beside it, which
// takes the old one's place in Commit(), given its owner and group when it
// was made, and its permission bits and extended attributes then.
class ReplacedFile final : public OutputFile {
 public:
  ReplacedFile(LockedFile file, Temporary temporary, Metadata metadata)
      : file_(std::move(file)),
        temporary_(std::move(temporary)),
        metadata_(std::move(metadata)) {}

  bool Append(std::string_view text) override {
    return WriteAll(temporary_.fd(), text);
  }

  bool Commit() override {
    if (!CarryOver() || fsync(temporary_.fd()) != 0) return false;
    if (!PutInPlace()) {
      // A name that a file is mounted on (a single file bind-mounted into
      // a container) cannot be renamed over (EBUSY), nor one on another
      // file system (EXDEV); the file itself can still be written.
      return (errno == EBUSY || errno == EXDEV) && RewriteInstead();
    }
    SyncDirectory(file_.dir.get(), temporary_.fd());
    return true;
  }

 private:
  // The permission bits after the owner and group (a chown clears set-ID
  // bits), then the extended attributes.
  bool CarryOver() {
    struct stat made {};
    if (fstat(temporary_.fd(), &made) != 0) return false;
    const mode_t mode = file_.status.st_mode & 07777;
    return ((made.st_mode & 07777) == mode ||
            fchmod(temporary_.fd(), mode) == 0) &&
           metadata_.Write(temporary_.fd());
  }

  // A signal meanwhile waits until this is done, so that it never leaves
  // the new file under its temporary name.
  bool PutInPlace() {
    const SignalsHeld held;
    if (!temporary_.named() && !temporary_.GiveName()) return false;
    // Whatever has been put under the name since it was opened is not
    // what the kernel allowed this run to replace.
    const int dir = file_.dir.get();
    if (!file_.StillNamed() || renameat(dir, temporary_.name().c_str(), dir,
                                        file_.name.c_str()) != 0) {
      return false;
    }
    temporary_.Placed();
    return true;
  }

  // The old file gets the new file's text, written in place.
  bool RewriteInstead() {
    struct stat made {};
    if (fstat(temporary_.fd(), &made) != 0) return false;
    const auto size = static_cast<std::uint64_t>(made.st_size);
    RewrittenFile rewrite(std::move(file_), [size] { return size; });
    const bool rewritten =
        CopyFile(temporary_.fd(), made.st_size, rewrite) && rewrite.Commit();
    // While the directory, which went to the rewrite, is still open.
    temporary_.Discard();
    return rewritten;
  }

  LockedFile file_;  // moved into a rewrite if that takes over
  Temporary temporary_;
  Metadata metadata_;
};

// A name that was nothing: a new file is made beside it, and takes the
// name in Commit() if nothing has taken it meanwhile. It gets the mode that
// creating it gave, the umask or the directory's default ACL applied, and
// until then is its owner's alone.
class NewFile final : public OutputFile {
 public:
  NewFile(Descriptor dir, std::string name, Temporary temporary,
          mode_t creation_mode)
      : dir_(std::move(dir)),
        name_(std::move(name)),
        temporary_(std::move(temporary)),
        creation_mode_(creation_mode) {}

  bool Append(std::string_view text) override {
    return WriteAll(temporary_.fd(), text);
  }

  bool Commit() override {
    struct stat made {};
    if (fstat(temporary_.fd(), &made) != 0 ||
        ((made.st_mode & 07777) != creation_mode_ &&
         fchmod(temporary_.fd(), creation_mode_) != 0) ||
        fsync(temporary_.fd()) != 0) {
      return false;
    }
    {
      const SignalsHeld held;
      // One without a name gets the final name at once, never a temporary
      // one.
      if (temporary_.named() ? !RenameNoReplace(dir_.get(), temporary_.name(),
                                                name_)
                             : !temporary_.LinkAs(name_)) {
        return false;
      }
      temporary_.Placed();
    }
    SyncDirectory(dir_.get(), temporary_.fd());
    return true;
  }

 private:
  Descriptor dir_;  // outlives temporary_, which uses it
  std::string name_;
  Temporary temporary_;
  mode_t creation_mode_;
};

// What the path named went away between the look and the open, so the
// open made a new file there, empty and of mode 0 (`status`): it goes
// again.
bool MadeByOpen(const std::string& path, const struct stat& status) {
  if (!S_ISREG(status.st_mode) || status.st_uid != geteuid() ||
      status.st_size != 0 || (status.st_mode & 07777) != 0) {
    return false;
  }
  struct stat now {};
  if (lstat(path.c_str(), &now) == 0 && SameFile(now, status)) {
    unlink(path.c_str());
  }
  return true;
}

// Opens the regular file that `path` leads to as a shell's `> path` opens
// it but for O_TRUNC, so that the kernel makes every check it makes there:
// the permissions, and in sticky directories fs.protected_regular. O_CREAT
// though the file is there: the kernel checks for planted files only in an
// open that may create; the look first keeps the open from making one. A
// device or a FIFO is not opened here (kNotWanted).
Opened OpenAsRedirection(const std::string& path, Descriptor& fd,
                         struct stat& status, bool& readable) {
  struct stat reached {};
  if (stat(path.c_str(), &reached) != 0) {
    return errno == ENOENT ? Opened::kNothing : Opened::kError;
  }
  if (S_ISDIR(reached.st_mode)) return Opened::kError;
  if (!S_ISREG(reached.st_mode)) return Opened::kNotWanted;
  // For reading too where the user may, so that a rewrite in place can
  // leave alone what does not change.
  constexpr int kFlags = O_CREAT | O_NOCTTY | O_CLOEXEC | O_NONBLOCK;
  readable = true;
  fd = Descriptor(OpenWithStatus(path, O_RDWR | kFlags, status));
  if (fd.get() < 0 && errno == EACCES) {
    readable = false;
    fd = Descriptor(OpenWithStatus(path, O_WRONLY | kFlags, status));
  }
  if (fd.get() < 0) return Opened::kError;
  if (!SameFile(status, reached) && MadeByOpen(path, status)) {
    fd.reset();
    return Opened::kNothing;
  }
  return S_ISREG(status.st_mode) ? Opened::kFile : Opened::kError;
}

// A device or a FIFO: a FIFO waits for its reader, as for a shell.
std::unique_ptr<OutputFile> OpenDevice(const std::string& path) {
  Descriptor fd(open(path.c_str(), O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC,
                     0));
  struct stat status {};
  if (fd.get() < 0 || fstat(fd.get(), &status) != 0) return nullptr;
  if (S_ISREG(status.st_mode)) {  // a regular file put there meanwhile
    MadeByOpen(path, status);
    return nullptr;
  }
  return std::make_unique<DeviceFile>(std::move(fd));
}

// Written through, never opened again; but the links on the way are still
// the kernel's to allow.
std::unique_ptr<OutputFile> OpenOwnDescriptor(const std::string& path,
                                              int descriptor) {
  struct stat reached {};
  const int flags = fcntl(descriptor, F_GETFL);
  if (stat(path.c_str(), &reached) != 0 || flags < 0 ||
      (flags & O_ACCMODE) == O_RDONLY) {
    return nullptr;
  }
  return std::make_unique<OwnDescriptorFile>(descriptor);
}

// How a regular file that is there is written: replaced, unless a
// replacement could not keep what it has (or could never be removed), or
// no new file may be made beside it; then rewritten in place.
std::unique_ptr<OutputFile> OpenExisting(LockedFile file,
                                         const TextLength& length,
                                         OpenFailure& failure) {
  const int dir = file.dir.get();
  RemoveLeftTemporary(dir, file.name);
  // Another name of the file would keep the old text; in an append-only
  // directory a new file could never be renamed over the old one, nor
  // removed.
  Metadata metadata;
  if (file.status.st_nlink > 1 || AppendOnly(dir) || !CarriesMetadata() ||
      !metadata.Read(file.fd.get())) {
    return std::make_unique<RewrittenFile>(std::move(file), length);
  }
  Temporary temporary(dir, file.name);
  Claim claimed;
  while ((claimed = temporary.Create(0600, true, true)) == Claim::kBusy) {
  }
  if (claimed != Claim::kClaimed) {
    const int error = errno;
    if (file.RefusedByDirectory(error)) {
      return std::make_unique<RewrittenFile>(std::move(file), length);
    }
    if (error == ENOSPC || error == EDQUOT) failure = OpenFailure::kNoSpace;
    return nullptr;
  }
  // A file that a replacement would take from its owner or group is
  // rewritten instead; the new file goes.
  struct stat made {};
  if (fstat(temporary.fd(), &made) != 0) return nullptr;
  if ((made.st_uid != file.status.st_uid ||
       made.st_gid != file.status.st_gid) &&
      fchown(temporary.fd(), file.status.st_uid, file.status.st_gid) != 0) {
    return std::make_unique<RewrittenFile>(std::move(file), length);
  }
  return std::make_unique<ReplacedFile>(std::move(file), std::move(temporary),
                                        std::move(metadata));
}

// A new file for a name that is nothing yet. In an append-only directory
// only a file without a name can be made and put in place without leaving
// a name that can never be removed. Sets `look_again` where a live run was
// putting a file under the name, or one has taken it meanwhile.
std::unique_ptr<OutputFile> OpenNew(Destination& where, OpenFailure& failure,
                                    bool& look_again) {
  // One that a run killed where it had to name it left behind, which a new
  // file made without a name would never meet.
  RemoveLeftTemporary(where.dir.get(), where.name);
  Temporary temporary(where.dir.get(), where.name);
  switch (temporary.Create(0666, !AppendOnly(where.dir.get()), true)) {
    case Claim::kClaimed:
      break;
    case Claim::kBusy:
      look_again = true;
      return nullptr;
    case Claim::kRefused:
      if (errno == ENOSPC || errno == EDQUOT) failure = OpenFailure::kNoSpace;
      return nullptr;
  }
  struct stat status {};
  if (fstatat(where.dir.get(), where.name.c_str(), &status,
              AT_SYMLINK_NOFOLLOW) == 0) {
    look_again = true;
    return nullptr;
  }
  // What creating it gave, and then private until it is complete. A file
  // system without permissions (FAT) keeps what it gives.
  if (fstat(temporary.fd(), &status) != 0) return nullptr;
  const mode_t creation_mode = status.st_mode & 07777;
  fchmod(temporary.fd(), 0600);
  return std::make_unique<NewFile>(std::move(where.dir), std::move(where.name),
                                   std::move(temporary), creation_mode);
}

}  // namespace

std::unique_ptr<OutputFile> OpenOutputFile(const std::string& path,
                                           std::unique_ptr<FileLock> lock,
                                           const TextLength& length,
                                           OpenFailure& failure) {
  failure = OpenFailure::kNotOpened;
  // Every turn but the first follows a change of what the path names.
  for (int turn = 0; turn < 100; ++turn) {
    Destination where;
    if (path.empty() || !Locate(path, where)) return nullptr;
    if (where.descriptor >= 0) {
      return OpenOwnDescriptor(path, where.descriptor);
    }
    LockedFile file;
    Locked locked = Locked::kError;
    if (lock) {
      // The run read the file it locked, and writes that one or none. Every
      // FileLock of this Env is a PosixFileLock.
      const auto& held = static_cast<const PosixFileLock&>(*lock);
      switch (OpenAsRedirection(path, file.fd, file.status, file.readable)) {
        case Opened::kFile:
          if (!SameFile(file.status, held.file())) return nullptr;
          locked = Locked::kLocked;
          break;
        case Opened::kNotWanted:
        case Opened::kNothing:
        case Opened::kError:
          return nullptr;
      }
    } else {
      NamedFile named(path, true,
                      [&path, &file](Descriptor& fd, struct stat& status) {
                        return OpenAsRedirection(path, fd, status,
                                                 file.readable);
                      });
      locked = LockNamed(named);
      file.fd = std::move(named.fd());
      file.status = named.status();
    }
    switch (locked) {
      case Locked::kLocked:
        file.dir = std::move(where.dir);
        file.name = std::move(where.name);
        // Links on the way may have changed since the path was followed.
        if (!file.StillNamed()) continue;
        file.update_lock = std::move(lock);
        return OpenExisting(std::move(file), length, failure);
      case Locked::kNothing: {
        bool look_again = false;
        std::unique_ptr<OutputFile> made = OpenNew(where, failure, look_again);
        if (look_again) continue;
        return made;
      }
      case Locked::kNotWanted:
        return OpenDevice(path);
      case Locked::kError:
        return nullptr;
    }
  }
  return nullptr;
}

}  // namespace posix
}  // namespace hexpoke
