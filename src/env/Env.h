// SPDX-License-Identifier: MIT
#ifndef HEXPOKE_ENV_ENV_H_
#define HEXPOKE_ENV_ENV_H_

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

// How an output file is written. The choice goes by what the path names
// once every link has been followed, never by how the path is spelt.
enum class OutputMethod {
  // A regular file, or nothing yet. The text goes to a new file beside it
  // that no one else can read, and that file takes the old one's place
  // (owner, group, permissions and extended attributes carried over; on
  // Windows its ACL, attributes and streams) only once it is complete and
  // on disk. Until then the old file is untouched. A new file gets what
  // creating it would give (the umask or the directory's default ACL).
  kReplace,
  // A regular file that a replacement would take away from its owner or
  // group, beside which no new file may be made (no right to, a read-only
  // mount), that no new file can be renamed over (a file mounted on its
  // name), or in a directory where no name could be removed again
  // (append-only). It is rewritten in place through one descriptor, as a
  // truncating stream would write it, under an exclusive lock on the file,
  // so that two runs rewriting it follow one another. POSIX only.
  kRewriteInPlace,
  // A device or a FIFO (on Windows NUL, CON, a serial port, a pipe):
  // opened and written, never truncated or replaced. On POSIX systems it
  // is synced once written, and a failed sync is a failed write.
  kWriteDirectly,
  // One of the process's own open descriptors (standard output reached as
  // /dev/stdout, /dev/fd/1 or /proc/self/fd/1, or through a link to one of
  // those): written through the descriptor the process holds, after what
  // was written there before and appending where it was opened to append.
  // POSIX only.
  kWriteOwnDescriptor,
};

// The text of an output file on its way to the file. The text is given
// with '\n' line ends; an implementation whose platform writes text files
// with other line ends (CR LF on Windows) translates them.
//
// A file that is replaced changes only in Commit(). A file rewritten in
// place is locked, and the signals that end the process are held, from the
// first Append() on; the text goes over the old one as it is appended (so
// that it is never held whole), and Commit() cuts the file to its length.
// A device or a descriptor may get the text as it is appended. Destroying
// an OutputFile that was not committed, or whose Commit() failed, leaves a
// file that was to be replaced as it was and removes every temporary file.
class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  virtual ~OutputFile() = default;

  // How the text will be written, as chosen when the file was opened.
  // After Commit() it says how it was written: kReplace turns into
  // kRewriteInPlace if the new file could not be given the old one's
  // owner, group or extended attributes, or could not take its place.
  virtual OutputMethod method() const = 0;

  // Adds `text` to the file. Returns false if writing failed.
  virtual bool Append(std::string_view text) = 0;

  // Makes everything appended the file's contents, and on disk as far as
  // the method allows. Returns false if that failed; a file that was to be
  // replaced then keeps its old contents. On POSIX systems it also fails,
  // leaving the file alone, if the path no longer leads to the file that
  // was opened (another one was put under its name). On Windows a file
  // that another program holds open is replaced only if that program
  // shares writing and deleting it; otherwise that program is waited for
  // about a second, and then this fails.
  // REQUIRES: called at most once.
  virtual bool Commit() = 0;
};

// A lock that a run holds on the file it reads and then writes back, from
// before it reads it until the new contents have taken its place, so that
// runs on one file follow one another. It ends when it is destroyed, and
// with the process, however that ends.
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

  // Locks the file that `input` leads to for a run that reads it and then
  // writes it back through `output`. Where both lead to the same regular
  // file, however each is spelt (links, "./", a bind mount), it waits for
  // an exclusive lock on that file while another run or another program
  // holds one, and then checks that `input` still leads to the file it
  // locked: if another run has put a new file under the name meanwhile, it
  // locks that one instead. Returns nullptr, having locked nothing, where
  // they are different files, either is not a regular file, or the file may
  // not be written (writing it then fails as it would have anyway).
  virtual std::unique_ptr<FileLock> LockForUpdate(const std::string& input,
                                                  const std::string& output) = 0;

  // Opens `path` to be read as it is stored: its bytes, with no line end or
  // Ctrl-Z (0x1A) translated. Returns nullptr if it cannot be opened. A
  // directory opens, and reading it fails. A file is read under a shared
  // lock, waited for while another run rewrites it in place or another
  // program holds an exclusive lock on it, so that it is never read half
  // rewritten; the lock ends with the stream. With `lock`, LockForUpdate's
  // lock on the file `path` leads to, it is read under that lock instead.
  virtual std::unique_ptr<std::istream> OpenInput(const std::string& path,
                                                  const FileLock* lock) = 0;

  // Opens `path` for writing by the method that fits what it names.
  // Returns nullptr if the file cannot be written: a missing directory, a
  // directory, a name too long, a loop of links, a file the caller may not
  // write, a new file in a directory the caller may not write to. Nothing
  // has been changed then. On POSIX systems that is wherever the kernel
  // would refuse a shell redirection to `path` by the same user, its
  // protections of sticky directories (fs.protected_symlinks,
  // protected_regular, protected_fifos) included, and nowhere else: a
  // directory need not be readable, and a path is followed as the kernel
  // follows it. A FIFO waits for a reader, and a file that another program
  // holds a lease on waits, as a shell's open would, until that program
  // gives the lease up or the kernel breaks it.
  // With `lock`, LockForUpdate's lock on the file `path` leads to, that file
  // is not locked again, and the lock is kept until the OutputFile is
  // destroyed: after the new contents have taken the file's place.
  // REQUIRES: no other OutputFile of this Env is alive.
  virtual std::unique_ptr<OutputFile> OpenOutput(
      const std::string& path, std::unique_ptr<FileLock> lock) = 0;
};

}  // namespace hexpoke

#endif  // HEXPOKE_ENV_ENV_H_
