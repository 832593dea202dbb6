// SPDX-License-Identifier: MIT
#ifndef HEXPOKE_ENV_ENV_H_
#define HEXPOKE_ENV_ENV_H_

#include <cstdint>
#include <functional>
#include <istream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace hexpoke {

// The characters of main's argument vector. On Windows the entry function
// is wmain, which the C run-time gives the command line as Windows keeps it,
// in UTF-16, so that any file name can be passed; main's narrow vector
// would hold it in the ANSI code page, which most names do not fit.
#ifdef _WIN32
using ArgumentChar = wchar_t;
#else
using ArgumentChar = char;
#endif

// The length in bytes of the whole text that an OutputFile will be given.
// Asked at most once, by a file that needs it before the text: one that is
// rewritten in place makes room for all of it first, so that a full disk
// fails the run before a byte of the old file has changed.
using TextLength = std::function<std::uint64_t()>;

// Why OpenOutput opened nothing.
enum class OpenFailure {
  kNotOpened,  // the file may not be written, or cannot be opened
  kNoSpace,    // there is no room for the new file (a full disk or quota)
};

// The text of an output file on its way to the file. The text is given
// with '\n' line ends; an implementation whose platform writes text files
// with other line ends (CR LF on Windows) translates them.
//
// How it is written is chosen once, when the file is opened, by what the
// path names once every link has been followed, never by how it is spelt:
//  - a regular file is replaced: the text goes to a new file beside it that
//    no one else can read, which takes the old one's place (owner, group,
//    permissions and extended attributes carried over; on Windows its ACL,
//    attributes and streams) only once it is complete and on disk. Until
//    then the old file is untouched;
//  - a name that is nothing yet gets a new file the same way, which gets
//    what creating it would give (the umask or the directory's default
//    ACL), and takes the name only if nothing else has taken it meanwhile;
//  - a regular file that a replacement would take from its owner or group,
//    or strip of extended attributes, that has other hard links, beside
//    which no new file may be made, that no new file can be renamed over
//    (a file mounted on its name), or in a directory where no name could
//    be removed again (append-only), is rewritten in place through one
//    descriptor, as a truncating stream would write it. POSIX only;
//  - a device or a FIFO (on Windows NUL, CON, a serial port, a pipe) is
//    opened and written, never truncated or replaced; on POSIX systems it
//    is synced once written, and a failed sync is a failed write;
//  - one of the process's own open descriptors (standard output reached as
//    /dev/stdout, /dev/fd/1 or /proc/self/fd/1, or through a link to one
//    of those) is written through the descriptor the process holds, after
//    what was written there before. POSIX only.
// A regular file that is there is locked exclusively from when it is opened
// until the object goes; the signals that end the process are held while a
// file is rewritten in place, from the first Append() until the object
// goes, and while a new file takes the old one's place. Destroying an
// OutputFile that was not committed, or whose Commit() failed, leaves a
// file that was to be replaced as it was and removes the new file.
class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  virtual ~OutputFile() = default;

  // Adds `text` to the file. Returns false if writing failed.
  virtual bool Append(std::string_view text) = 0;

  // Makes everything appended the file's contents, and on disk as far as
  // the kind of file allows. Returns false if that failed; a file that was
  // to be replaced then keeps its old contents. It also fails, leaving the
  // file alone, if the path no longer leads to the file that was opened
  // (another program put one under its name without taking the lock). On
  // Windows a file that another program holds open is replaced only if
  // that program shares writing and deleting it; otherwise that program is
  // waited for about a second, and then this fails.
  // REQUIRES: called at most once.
  virtual bool Commit() = 0;
};

// A lock that a run holds on the file it reads and then writes back, from
// before it reads it until the new contents have taken its place, so that
// runs on one file follow one another. It ends when it is destroyed, and
// with the process, however that ends.
//
// Every lock a run takes, this one, an output's and an input's, is taken
// the same way (LockProtocol.h): on the file the name leads to, and then
// the name is looked at again, and where another run has put a new file
// under it meanwhile, that one is locked instead. A run never holds locks
// on two files at once. Where the file system takes no locks at all, the
// run goes on without.
class FileLock {
 public:
  FileLock() = default;
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  virtual ~FileLock() = default;
};

// Everything hexpoke asks of the operating system, behind one interface
// with one implementation per platform. Paths and arguments are UTF-8.
class Env {
 public:
  Env() = default;
  Env(const Env&) = delete;
  Env& operator=(const Env&) = delete;
  virtual ~Env() = default;

  // The environment of the platform hexpoke was built for; it lives until
  // the process ends and must not be deleted.
  static Env* Default();

  // Sets the process up for a run of the command-line tool. Call once, at
  // the start of main. Until it has been called, a signal that ends the
  // process while an output file is being replaced may leave a temporary
  // file behind, a file-size limit may end the process instead of failing
  // the write, and on Windows a drive without its medium may ask the user
  // with a dialog box instead of failing.
  virtual void InitProcess() = 0;

  // The command line the process was started with, as UTF-8 strings;
  // `argc` and `argv` are main's (wmain's on Windows).
  virtual std::vector<std::string> Arguments(int argc,
                                             ArgumentChar* argv[]) = 0;

  // Locks the file that `output` leads to for a run that reads it through
  // `input` and then writes it back. Where both lead to the same regular
  // file, however each is spelt (links, "./", a bind mount), it waits for
  // an exclusive lock on that file while another run or another program
  // holds one. Returns nullptr, having locked nothing, where they are
  // different files, either is not a regular file, or the file may not be
  // read and written (reading or writing it then fails as it would have).
  virtual std::unique_ptr<FileLock> LockForUpdate(const std::string& input,
                                                  const std::string& output) = 0;

  // Opens `path` to be read as it is stored: its bytes, with no line end or
  // Ctrl-Z (0x1A) translated. Returns nullptr if it cannot be opened. A
  // directory opens, and reading it fails. A regular file is read under a
  // shared lock, waited for while another run writes it or another program
  // holds an exclusive lock on it, so that it is never read half written,
  // and never after another run has put a new file under its name; the
  // lock ends with the stream. With `lock`, LockForUpdate's lock on the
  // file `path` leads to, it is read under that lock instead.
  virtual std::unique_ptr<std::istream> OpenInput(const std::string& path,
                                                  const FileLock* lock) = 0;

  // Opens `path` for writing by the method that fits what it names (see
  // OutputFile). Returns nullptr if the file cannot be written, with
  // `failure` saying why: a missing directory, a directory, a name too
  // long, a loop of links, a file the caller may not write, a new file in a
  // directory the caller may not write to; or no room for the new file.
  // Nothing has been changed then. On POSIX systems that is wherever the
  // kernel would refuse a shell redirection to `path` by the same user, its
  // protections of sticky directories (fs.protected_symlinks,
  // protected_regular, protected_fifos) included, and nowhere else: a
  // directory need not be readable, and a path is followed as the kernel
  // follows it. A FIFO waits for a reader, and a file that another program
  // holds a lease on waits, as a shell's open would, until that program
  // gives the lease up or the kernel breaks it.
  // A regular file that is there is locked exclusively, waiting while
  // another run or program holds it, until the OutputFile goes. With
  // `lock`, LockForUpdate's lock on the file `path` leads to, that file is
  // not locked again, and the lock is kept until the OutputFile goes;
  // where `path` leads to another file by then, nothing is opened.
  // `length` is asked for only where the file is rewritten in place.
  // REQUIRES: no other OutputFile of this Env is alive.
  virtual std::unique_ptr<OutputFile> OpenOutput(
      const std::string& path, std::unique_ptr<FileLock> lock,
      const TextLength& length, OpenFailure& failure) = 0;
};

}  // namespace hexpoke

#endif  // HEXPOKE_ENV_ENV_H_
