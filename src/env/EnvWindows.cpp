// SPDX-License-Identifier: MIT
// The Env for Windows. Every path is handed to Windows in UTF-16, converted
// from the UTF-8 that the rest of hexpoke works in, so that a file's name
// reaches the file system as it was typed, whatever the ANSI code page.

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cwchar>
#include <ios>
#include <istream>
#include <memory>
#include <streambuf>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "env/Env.h"
#include "env/LockProtocol.h"

namespace hexpoke {

namespace {

// How long the replacement of a file that another program holds open is
// retried, and how often meanwhile. An editor or a virus scanner usually
// lets go within this time.
constexpr ULONGLONG kHeldTimeoutMilliseconds = 1000;
constexpr DWORD kHeldRetryMilliseconds = 50;
// How long, and how often, a name is looked at again while a live run is
// moving a new file under it.
constexpr ULONGLONG kReplacedTimeoutMilliseconds = 10000;
constexpr DWORD kPassingRetryMilliseconds = 2;

constexpr DWORD kShareAll =
    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Owns a handle from CreateFileW, closing it when it goes.
class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE handle) { reset(handle); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  Handle(Handle&& other) noexcept : handle_(other.release()) {}
  Handle& operator=(Handle&& other) noexcept {
    reset(other.release());
    return *this;
  }
  ~Handle() { reset(); }

  HANDLE get() const { return handle_; }
  HANDLE release() { return std::exchange(handle_, nullptr); }
  explicit operator bool() const { return handle_ != nullptr; }
  void reset(HANDLE handle = nullptr) {
    if (handle_ != nullptr) CloseHandle(handle_);
    handle_ = handle == INVALID_HANDLE_VALUE ? nullptr : handle;
  }

 private:
  HANDLE handle_ = nullptr;
};

// Returns false for text that is not UTF-8, which can name no file.
bool ToWide(std::string_view utf8, std::wstring& wide) {
  wide.clear();
  if (utf8.empty()) return true;
  const int size =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(),
                          static_cast<int>(utf8.size()), nullptr, 0);
  if (size <= 0) return false;
  wide.resize(static_cast<std::size_t>(size));
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(),
                             static_cast<int>(utf8.size()), wide.data(),
                             size) == size;
}

// A lone surrogate, which a Windows file name may hold but UTF-8 cannot,
// becomes U+FFFD; such a name can then not be reached, and is not opened.
std::string ToUtf8(std::wstring_view wide) {
  if (wide.empty()) return {};
  const int size =
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                          nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                      utf8.data(), size, nullptr, nullptr);
  return utf8;
}

// The errors of a file that another program holds open, for as long as it
// does: it does not share both writing and deleting, has it locked, or
// keeps a replacement from removing it. A right that is missing
// (ERROR_ACCESS_DENIED) is no such error: it is found when the file is
// opened.
bool HeldByAnother(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
         error == ERROR_UNABLE_TO_REMOVE_REPLACED;
}

bool Missing(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// The longest path that Windows takes, in UTF-16 units.
constexpr DWORD kLongestPath = 32767;

// The path of the file open as `file`, with every link followed, or empty.
std::wstring FinalPath(HANDLE file) {
  std::wstring path(kLongestPath + 1, L'\0');
  const DWORD size = GetFinalPathNameByHandleW(file, path.data(),
                                               kLongestPath + 1,
                                               VOLUME_NAME_DOS);
  if (size == 0 || size > kLongestPath) return {};
  path.resize(size);
  return path;
}

std::wstring FullPath(const std::wstring& path) {
  std::wstring full(kLongestPath + 1, L'\0');
  const DWORD size =
      GetFullPathNameW(path.c_str(), kLongestPath + 1, full.data(), nullptr);
  if (size == 0 || size > kLongestPath) return {};
  full.resize(size);
  return full;
}

bool WriteAll(HANDLE file, std::string_view text) {
  constexpr std::size_t kLargestWrite = std::size_t{1} << 30;
  while (!text.empty()) {
    const auto chunk = static_cast<DWORD>(
        text.size() < kLargestWrite ? text.size() : kLargestWrite);
    DWORD written = 0;
    if (!WriteFile(file, text.data(), chunk, &written, nullptr)) return false;
    text.remove_prefix(written);
  }
  return true;
}

// Asks for the file open as `file` to go when its last handle closes, or
// takes that back. Returns false if the file system cannot do it.
bool DeleteOnClose(HANDLE file, bool delete_it) {
  FILE_DISPOSITION_INFO disposition = {};
  disposition.DeleteFile = delete_it ? TRUE : FALSE;
  return SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                    sizeof disposition) != FALSE;
}

// The FileId of the file open as `file`: its volume and file ID. One that
// no name leads to any more (deleted, its deletion asked for) has none.
Seen Identify(HANDLE file, FileId& id) {
  BY_HANDLE_FILE_INFORMATION information = {};
  if (!GetFileInformationByHandle(file, &information)) return Seen::kError;
  FILE_STANDARD_INFO standard = {};
  if (information.nNumberOfLinks == 0 ||
      (GetFileInformationByHandleEx(file, FileStandardInfo, &standard,
                                    sizeof standard) &&
       standard.DeletePending)) {
    return Seen::kNothing;
  }
  id.volume = information.dwVolumeSerialNumber;
  id.file = (std::uint64_t{information.nFileIndexHigh} << 32) |
            information.nFileIndexLow;
  return Seen::kFile;
}

// Opens `path` only to look at what it names, which no other program's
// sharing mode refuses; a directory opens too.
HANDLE OpenToQuery(const std::wstring& path) {
  return CreateFileW(path.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

Seen IdentifyPath(const std::wstring& path, FileId& id) {
  const Handle file(OpenToQuery(path));
  if (!file) return Missing(GetLastError()) ? Seen::kNothing : Seen::kError;
  return Identify(file.get(), id);
}

// Whether the process numbered `pid` is alive.
bool Alive(DWORD pid) {
  const Handle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
  return process && WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

// Whether a live run is putting a new file under `path`: its new file,
// ".NAME.hexpoke-PID-N.tmp", lies beside it, and the run PID is alive. One
// that a run left behind (ReplaceFileW may lose the old file and leave the
// new one under its own name) is no reason to wait.
bool LiveRunReplaces(const std::wstring& path) {
  const std::size_t slash = path.find_last_of(L"\\/:");
  const std::size_t start = slash == std::wstring::npos ? 0 : slash + 1;
  const std::wstring name = path.substr(start);
  if (name.empty() || name.size() > 200) return false;
  const std::wstring prefix = L"." + name + L".hexpoke-";
  WIN32_FIND_DATAW found;
  const HANDLE search =
      FindFirstFileW((path.substr(0, start) + prefix + L"*.tmp").c_str(),
                     &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  bool live = false;
  do {
    const unsigned long pid = std::wcstoul(found.cFileName + prefix.size(),
                                           nullptr, 10);
    live = pid != 0 && Alive(static_cast<DWORD>(pid));
  } while (!live && FindNextFileW(search, &found));
  FindClose(search);
  return live;
}

// Where `path` leads nowhere while a live run puts a new file under it (on
// Wine, ReplaceFileW moves the old file aside before it moves the new one
// in), looks again until the name leads somewhere, the run is done, or ten
// seconds have passed. Returns whether the name leads somewhere now.
bool WaitForLiveReplacement(const std::wstring& path) {
  const ULONGLONG start = GetTickCount64();
  for (;;) {
    FileId ignored;
    if (IdentifyPath(path, ignored) != Seen::kNothing) return true;
    if (!LiveRunReplaces(path) ||
        GetTickCount64() - start >= kReplacedTimeoutMilliseconds) {
      return IdentifyPath(path, ignored) != Seen::kNothing;
    }
    Sleep(kPassingRetryMilliseconds);
  }
}

// Waits for a lock on the file open as `file`, shared or exclusive. The
// lock is on one byte far past the end of any file, not on the file's
// bytes: Windows enforces byte-range locks on reads and writes, and a lock
// on the bytes would make other programs' reads and writes fail while it
// is held, where it is only meant to make another run wait. It ends when
// the handle is closed, at the latest with the process. A file system that
// takes no locks is no failure: the run goes on without.
bool WaitForLock(HANDLE file, bool exclusive) {
  OVERLAPPED at = {};
  at.Offset = 0xFFFFFFFE;
  at.OffsetHigh = 0x7FFFFFFF;
  if (LockFileEx(file, exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0, 0, 1, 0,
                 &at)) {
    return true;
  }
  const DWORD error = GetLastError();
  return error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION ||
         error == ERROR_CALL_NOT_IMPLEMENTED;
}

// A name and the file it leads to, for LockNamed: the file is opened with
// `access`, sharing everything (deleting too, so that it can be replaced
// while it is open, by this run or, once it is done, by another), and only
// a file for which `wanted` says so is locked.
template <typename Wanted>
class NamedFile {
 public:
  NamedFile(std::wstring path, DWORD access, DWORD flags, bool exclusive,
            Wanted wanted)
      : path_(std::move(path)),
        access_(access),
        flags_(flags),
        exclusive_(exclusive),
        wanted_(std::move(wanted)) {}

  Handle& file() { return file_; }
  DWORD error() const { return error_; }

  Opened Open() {
    file_.reset(CreateFileW(path_.c_str(), access_, kShareAll, nullptr,
                            OPEN_EXISTING, flags_, nullptr));
    if (!file_) {
      error_ = GetLastError();
      return Missing(error_) ? Opened::kNothing : Opened::kError;
    }
    BY_HANDLE_FILE_INFORMATION information = {};
    const bool regular =
        GetFileType(file_.get()) == FILE_TYPE_DISK &&
        GetFileInformationByHandle(file_.get(), &information) &&
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    return regular && wanted_(file_.get()) ? Opened::kFile
                                           : Opened::kNotWanted;
  }
  bool Lock() { return WaitForLock(file_.get(), exclusive_); }
  Seen IdentifyOpen(FileId& id) { return Identify(file_.get(), id); }
  Seen IdentifyName(FileId& id) { return IdentifyPath(path_, id); }
  void Close() { file_.reset(); }
  bool WaitForReplacement() { return WaitForLiveReplacement(path_); }

 private:
  std::wstring path_;
  DWORD access_;
  DWORD flags_;
  bool exclusive_;
  Wanted wanted_;
  Handle file_;
  DWORD error_ = ERROR_SUCCESS;
};

bool AnyFile(HANDLE) { return true; }

// A lock on a file: the file open, locked. LockForUpdate's lock, whose
// file is read through a handle of its own, and the lock an output file
// holds on the file it replaces.
class WindowsFileLock final : public FileLock {
 public:
  explicit WindowsFileLock(Handle file) : file_(std::move(file)) {}

  HANDLE file() const { return file_.get(); }

 private:
  Handle file_;
};

// A device (NUL, CON, a serial port) or a pipe: the text goes straight to
// it.
class DeviceFile final : public OutputFile {
 public:
  explicit DeviceFile(Handle file) : file_(std::move(file)) {}

  bool Append(std::string_view text) override {
    return WriteAll(file_.get(), WithLineEnds(text));
  }
  bool Commit() override { return true; }

  // Lines end in CR LF in a Windows text file, as a text-mode stream would
  // write them.
  static std::string WithLineEnds(std::string_view text) {
    std::string translated;
    translated.reserve(text.size() + text.size() / 16);
    for (std::size_t end; (end = text.find('\n')) != std::string_view::npos;) {
      translated.append(text.substr(0, end)).append("\r\n");
      text.remove_prefix(end + 1);
    }
    translated.append(text);
    return translated;
  }

 private:
  Handle file_;
};

// A file replaced, or a name that is nothing yet made: the text goes to a
// new file beside it, ".NAME.hexpoke-PID-N.tmp", which takes its place in
// Commit(), through ReplaceFileW where a file is there.
class ReplacedFile final : public OutputFile {
 public:
  // `target` is a full path; `lock` the run's lock on the file there, if
  // one is, kept until this goes.
  ReplacedFile(std::wstring target, bool exists,
               std::unique_ptr<FileLock> lock)
      : lock_(std::move(lock)), target_(std::move(target)), exists_(exists) {}
  ~ReplacedFile() override {
    // With its deletion asked for, the new file goes with its handle.
    file_.reset();
    if (!temporary_.empty() && !delete_on_close_ && !keep_temporary_) {
      DeleteFileW(temporary_.c_str());
    }
  }

  // Makes the new file; false if it cannot be made.
  bool Create() {
    const std::size_t slash = target_.find_last_of(L"\\/");
    if (slash == std::wstring::npos || slash + 1 == target_.size()) {
      return false;
    }
    const std::wstring dir = target_.substr(0, slash + 1);
    const std::wstring name = target_.substr(slash + 1);
    // No Windows file system takes a longer name. Said here, since Wine on
    // a Linux file system says so only when the new file is renamed.
    if (name.size() > 255) return false;
    // Named after the old file, unless that would pass the usual limit of
    // 255 characters; the process id keeps two runs apart, and tells
    // another run whether this one is alive.
    const std::wstring prefix =
        dir + (name.size() <= 200 ? L"." + name : L"") + L".hexpoke-" +
        std::to_wstring(GetCurrentProcessId()) + L"-";
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::wstring temporary = prefix + std::to_wstring(attempt) + L".tmp";
      // No sharing: nothing else opens the new file while it is written.
      file_.reset(CreateFileW(temporary.c_str(), GENERIC_WRITE | DELETE, 0,
                              nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                              nullptr));
      if (file_) {
        temporary_ = std::move(temporary);
        // Until it takes the old file's place, the new file goes when its
        // handle is closed, however the process ends: Ctrl-C, a closed
        // console window, being killed. Where the file system cannot do
        // that, it is deleted by name.
        delete_on_close_ = DeleteOnClose(file_.get(), true);
        return true;
      }
      const DWORD error = GetLastError();
      if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
        return false;
      }
    }
    return false;
  }

  bool Append(std::string_view text) override {
    return WriteAll(file_.get(), DeviceFile::WithLineEnds(text));
  }

  bool Commit() override {
    if (!FlushFileBuffers(file_.get())) return false;
    const ULONGLONG deadline = GetTickCount64() + kHeldTimeoutMilliseconds;
    // A replacement needs the old file free of other programs' handles.
    // It is waited for while the new file still goes away by itself.
    if (!Retry(deadline, [this] { return OldFileFree(); })) return false;
    // ReplaceFileW opens the new file for itself, so it is closed first.
    // From here until it has taken the old one's place, it has a name of
    // its own that a kill would leave behind.
    if (delete_on_close_ && !DeleteOnClose(file_.get(), false)) return false;
    delete_on_close_ = false;
    file_.reset();
    if (!Retry(deadline, [this] { return MoveIntoPlace(); })) return false;
    temporary_.clear();
    return true;
  }

 private:
  // Calls `attempt` until it succeeds, fails for another reason than a file
  // held by another program, or the deadline has passed.
  template <typename Attempt>
  static bool Retry(ULONGLONG deadline, Attempt attempt) {
    for (;;) {
      if (attempt()) return true;
      if (!HeldByAnother(GetLastError()) || GetTickCount64() >= deadline) {
        return false;
      }
      Sleep(kHeldRetryMilliseconds);
    }
  }

  // Whether the old file can be written and deleted now, as replacing it
  // needs: not while another program has it open without sharing both.
  // One that shares them has said that it does not mind the file being
  // replaced under it; it goes on reading the old one, which goes when it
  // closes it (Wine names it rfNNNN.tmp until then).
  bool OldFileFree() {
    if (!exists_) return true;
    const Handle old(CreateFileW(target_.c_str(), GENERIC_WRITE | DELETE,
                                 kShareAll, nullptr, OPEN_EXISTING, 0,
                                 nullptr));
    if (old) return true;
    // Gone meanwhile, though locked: another program removed it, and the
    // new file takes the name only if nothing else has taken it since.
    if (!Missing(GetLastError())) return false;
    exists_ = false;
    return true;
  }

  bool MoveIntoPlace() {
    if (exists_) {
      // Unlike a rename, this gives the new file the old one's ACL,
      // attributes, creation time and alternate data streams.
      if (ReplaceFileW(target_.c_str(), temporary_.c_str(), nullptr, 0,
                       nullptr, nullptr)) {
        return true;
      }
      if (GetLastError() != ERROR_UNABLE_TO_MOVE_REPLACEMENT) return false;
      // The old file is gone and the new one still has its own name: from
      // now on that name holds the only copy, which a failure must keep.
      keep_temporary_ = true;
      return MoveFileExW(temporary_.c_str(), target_.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) !=
             FALSE;
    }
    // A new file takes the name only if nothing is there.
    return MoveFileExW(temporary_.c_str(), target_.c_str(),
                       MOVEFILE_WRITE_THROUGH) != FALSE;
  }

  // Destroyed last: the lock outlasts the replacement.
  std::unique_ptr<FileLock> lock_;
  Handle file_;  // the new file until it is closed
  std::wstring target_;  // the file to replace, a full path
  bool exists_;
  std::wstring temporary_;  // the new file, while it has a name of its own
  bool delete_on_close_ = false;
  bool keep_temporary_ = false;
};

// Reads a file through its handle, byte for byte.
class HandleReader final : public std::streambuf {
 public:
  explicit HandleReader(Handle file) : file_(std::move(file)) {}

 protected:
  int_type underflow() override {
    DWORD got = 0;
    if (!ReadFile(file_.get(), buffer_, sizeof buffer_, &got, nullptr)) {
      // A pipe whose writer has closed it has ended.
      if (GetLastError() == ERROR_BROKEN_PIPE) return traits_type::eof();
      // The stream reading this turns it into badbit: an error, not an end.
      throw std::ios_base::failure("ReadFile failed");
    }
    if (got == 0) return traits_type::eof();
    setg(buffer_, buffer_, buffer_ + got);
    return traits_type::to_int_type(buffer_[0]);
  }

 private:
  Handle file_;
  char buffer_[16 * 1024] = {};
};

class HandleInput final : public std::istream {
 public:
  explicit HandleInput(Handle file)
      : std::istream(nullptr), reader_(std::move(file)) {
    rdbuf(&reader_);
  }

 private:
  HandleReader reader_;
};

// Whether `path` leads to the file open as `file`.
bool LeadsTo(const std::wstring& path, HANDLE file) {
  FileId named;
  FileId held;
  return IdentifyPath(path, named) == Seen::kFile &&
         Identify(file, held) == Seen::kFile && named == held;
}

class WindowsEnv final : public Env {
 public:
  void InitProcess() override {
    // A drive without its medium, or another critical error, fails the
    // call that met it instead of stopping a script at a dialog box.
    SetErrorMode(GetErrorMode() | SEM_FAILCRITICALERRORS);
  }

  // wmain's arguments are the C run-time's split of the UTF-16 command
  // line, by the same rules as main's, so options parse exactly as they
  // would there. (An activeCodePage manifest making the ANSI code page
  // UTF-8 would serve only Windows 10 1903 and later, and msvcrt.dll, which
  // this program uses, does not take UTF-8 as a code page.)
  std::vector<std::string> Arguments(int argc, wchar_t* argv[]) override {
    std::vector<std::string> arguments;
    arguments.reserve(static_cast<std::size_t>(argc));
    for (int i = 0; i < argc; ++i) arguments.push_back(ToUtf8(argv[i]));
    return arguments;
  }

  std::unique_ptr<FileLock> LockForUpdate(const std::string& input,
                                          const std::string& output) override {
    std::wstring read;
    std::wstring written;
    if (input.empty() || output.empty() || !ToWide(input, read) ||
        !ToWide(output, written)) {
      return nullptr;
    }
    // The usual in-place patch names the file the same way twice.
    const bool one_name = read == written;
    NamedFile named(
        written, GENERIC_READ, 0, true,
        [&](HANDLE file) { return one_name || LeadsTo(read, file); });
    if (LockNamed(named) != Locked::kLocked ||
        (!one_name && !LeadsTo(read, named.file().get()))) {
      return nullptr;
    }
    return std::make_unique<WindowsFileLock>(std::move(named.file()));
  }

  std::unique_ptr<std::istream> OpenInput(const std::string& path,
                                          const FileLock* lock) override {
    std::wstring wide;
    if (path.empty() || !ToWide(path, wide)) return nullptr;
    // Read through a handle of its own, so that the lock's outlives it.
    if (lock != nullptr) {
      // Every FileLock of this Env is a WindowsFileLock.
      HANDLE own = nullptr;
      if (!DuplicateHandle(GetCurrentProcess(),
                           static_cast<const WindowsFileLock*>(lock)->file(),
                           GetCurrentProcess(), &own, 0, FALSE,
                           DUPLICATE_SAME_ACCESS)) {
        return nullptr;
      }
      return std::make_unique<HandleInput>(Handle(own));
    }
    // Backup semantics open a directory too, whose reading then fails, as
    // it does elsewhere. What is not a file (a pipe, a directory) is read
    // unlocked.
    NamedFile named(
        wide, GENERIC_READ,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_SEQUENTIAL_SCAN, false,
        AnyFile);
    if (!LockToRead(named)) return nullptr;
    return std::make_unique<HandleInput>(std::move(named.file()));
  }

  std::unique_ptr<OutputFile> OpenOutput(const std::string& path,
                                         std::unique_ptr<FileLock> lock,
                                         const TextLength&,
                                         OpenFailure& failure) override {
    failure = OpenFailure::kNotOpened;
    std::wstring wide;
    if (path.empty() || !ToWide(path, wide)) return nullptr;
    // Opened only to be looked at, which no other program's sharing mode
    // refuses: is it a device, a file or a directory?
    // A name that leads nowhere is a new file, unless a live run is putting
    // one under it just now.
    Handle query(OpenToQuery(wide));
    DWORD error = query ? ERROR_SUCCESS : GetLastError();
    if (!query && Missing(error) && WaitForLiveReplacement(wide)) {
      query.reset(OpenToQuery(wide));
      error = query ? ERROR_SUCCESS : GetLastError();
    }
    if (!query) {
      if (!Missing(error) || lock) return nullptr;
      return OpenReplaced(FullPath(wide), false, nullptr, failure);
    }
    if (GetFileType(query.get()) != FILE_TYPE_DISK) {  // NUL, CON, COM1, ...
      query.reset();
      Handle device(CreateFileW(wide.c_str(), GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr));
      // What the path names may have changed since it was looked at; a file
      // must never be written here.
      if (!device || GetFileType(device.get()) == FILE_TYPE_DISK) {
        return nullptr;
      }
      return std::make_unique<DeviceFile>(std::move(device));
    }
    BY_HANDLE_FILE_INFORMATION information = {};
    if (!GetFileInformationByHandle(query.get(), &information) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return nullptr;
    }
    // A link stays a link: the file it leads to is replaced. (Wine finds
    // no final path longer than MAX_PATH; the full path serves then.)
    std::wstring target = FinalPath(query.get());
    query.reset();
    if (target.empty()) target = FullPath(wide);
    if (target.empty()) return nullptr;
    // May the file be written and deleted, as replacing it needs? Another
    // program holding it open is no answer to that; it is waited for when
    // the new file is complete.
    const Handle writable(CreateFileW(target.c_str(), GENERIC_WRITE | DELETE,
                                      kShareAll, nullptr, OPEN_EXISTING, 0,
                                      nullptr));
    if (!writable && !HeldByAnother(GetLastError())) return nullptr;
    if (lock) {
      // The run read the file it locked, and writes that one or none.
      if (!LeadsTo(target, static_cast<WindowsFileLock&>(*lock).file())) {
        return nullptr;
      }
      return OpenReplaced(std::move(target), true, std::move(lock), failure);
    }
    NamedFile named(target, GENERIC_READ, 0, true, AnyFile);
    switch (LockNamed(named)) {
      case Locked::kLocked:
        return OpenReplaced(
            std::move(target), true,
            std::make_unique<WindowsFileLock>(std::move(named.file())),
            failure);
      case Locked::kNothing:
        return OpenReplaced(std::move(target), false, nullptr, failure);
      case Locked::kNotWanted:
      case Locked::kError:
        // Held by another program that shares nothing: there is nothing to
        // lock it through, and the replacement waits for it.
        if (HeldByAnother(named.error())) {
          return OpenReplaced(std::move(target), true, nullptr, failure);
        }
        break;
    }
    return nullptr;
  }

 private:
  static std::unique_ptr<OutputFile> OpenReplaced(
      std::wstring target, bool exists, std::unique_ptr<FileLock> lock,
      OpenFailure& failure) {
    if (target.empty()) return nullptr;
    auto file = std::make_unique<ReplacedFile>(std::move(target), exists,
                                               std::move(lock));
    if (!file->Create()) {
      const DWORD error = GetLastError();
      if (error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL) {
        failure = OpenFailure::kNoSpace;
      }
      return nullptr;
    }
    return file;
  }
};

}  // namespace

Env* Env::Default() {
  static WindowsEnv env;
  return &env;
}

}  // namespace hexpoke
