// SPDX-License-Identifier: MIT
// The Env for Windows. Every path is handed to Windows in UTF-16, converted
// from the UTF-8 that the rest of hexpoke works in, so that a file's name
// reaches the file system as it was typed, whatever the ANSI code page.

#include <windows.h>

#include <cstddef>
#include <ios>
#include <istream>
#include <memory>
#include <streambuf>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "env/Env.h"

namespace hexpoke {

namespace {

// How long the replacement of a file that another program holds open is
// retried, and how often meanwhile. An editor or a virus scanner usually
// lets go within this time.
constexpr ULONGLONG kHeldTimeoutMilliseconds = 1000;
constexpr DWORD kHeldRetryMilliseconds = 50;
// How long, and how often, a file that another run is replacing is looked
// for while its name leads nowhere.
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
// keeps a replacement from removing it.
bool HeldByAnother(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
         error == ERROR_ACCESS_DENIED ||
         error == ERROR_UNABLE_TO_REMOVE_REPLACED;
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

// Whether the files open as `one` and `other` are one file: the same
// volume and file ID, however each was reached.
bool SameFile(HANDLE one, HANDLE other) {
  BY_HANDLE_FILE_INFORMATION first = {};
  BY_HANDLE_FILE_INFORMATION second = {};
  return GetFileInformationByHandle(one, &first) &&
         GetFileInformationByHandle(other, &second) &&
         first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
         first.nFileIndexHigh == second.nFileIndexHigh &&
         first.nFileIndexLow == second.nFileIndexLow;
}

// Whether another run is replacing the file that `path` names: its new
// file (".NAME.hexpoke-*.tmp") lies beside it.
bool BeingReplaced(const std::wstring& path) {
  const std::size_t slash = path.find_last_of(L"\\/:");
  const std::size_t start = slash == std::wstring::npos ? 0 : slash + 1;
  const std::wstring name = path.substr(start);
  if (name.empty() || name.size() > 200) return false;
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW(
      (path.substr(0, start) + L"." + name + L".hexpoke-*.tmp").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  return true;
}

// Opens the file that `path` names, which must exist, with `access` and
// `flags`, sharing everything. It is tried again for up to a second while
// another program holds it open without sharing it, and while it is
// missing because another run is replacing it: Wine's ReplaceFileW moves
// the old file aside before it moves the new one in. That is so while the
// new file lay beside it just before or just after a failed try (the
// replacement may end between the try and the look). A busy machine can
// stretch that moment, so it is waited for longer; only a run killed in it
// leaves a new file behind that is never put in place.
HANDLE OpenExisting(const std::wstring& path, DWORD access, DWORD flags) {
  const ULONGLONG start = GetTickCount64();
  // Not known before the first try, which a missing name thus follows
  // with one more.
  bool replacing_before = true;
  for (;;) {
    const HANDLE file = CreateFileW(path.c_str(), access, kShareAll, nullptr,
                                    OPEN_EXISTING, flags, nullptr);
    if (file != INVALID_HANDLE_VALUE) return file;
    const DWORD error = GetLastError();
    ULONGLONG limit = 0;
    if (error == ERROR_SHARING_VIOLATION) {
      limit = kHeldTimeoutMilliseconds;
    } else if (error == ERROR_FILE_NOT_FOUND) {
      const bool replacing = BeingReplaced(path);
      if (replacing || replacing_before) limit = kReplacedTimeoutMilliseconds;
      replacing_before = replacing;
    }
    if (GetTickCount64() - start >= limit) {
      SetLastError(error);
      return INVALID_HANDLE_VALUE;
    }
    Sleep(kPassingRetryMilliseconds);
  }
}

// Opens `path` only to look at what it names, which no other program's
// sharing mode refuses; a directory opens too.
HANDLE OpenToQuery(const std::wstring& path) {
  return OpenExisting(path, 0, FILE_FLAG_BACKUP_SEMANTICS);
}

// Waits for a lock on the file open as `file`, shared or exclusive. The
// lock is on one byte far past the end of any file, not on the file's
// bytes: Windows enforces byte-range locks on reads and writes, and a lock
// on the bytes would make other programs' reads and writes fail while it
// is held, where it is only meant to make another run wait. It ends when
// the handle is closed, at the latest with the process. Returns false if
// the file cannot be locked.
bool WaitForLock(HANDLE file, bool exclusive) {
  OVERLAPPED at = {};
  at.Offset = 0xFFFFFFFE;
  at.OffsetHigh = 0x7FFFFFFF;
  return LockFileEx(file, exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0, 0, 1, 0,
                    &at) != FALSE;
}

// LockForUpdate's lock: the file open, exclusively locked. The file is
// read through a handle of its own, so that what it reads is what the name
// holds now.
class WindowsFileLock final : public FileLock {
 public:
  explicit WindowsFileLock(HANDLE file) : file_(file) {}

 private:
  Handle file_;
};

class WindowsOutputFile final : public OutputFile {
 public:
  // `lock` is the run's lock on the file, if any, kept until this goes.
  explicit WindowsOutputFile(std::unique_ptr<FileLock> lock)
      : lock_(std::move(lock)) {}
  ~WindowsOutputFile() override {
    // With its deletion asked for, the new file goes with its handle.
    file_.reset();
    if (!temporary_.empty() && !delete_on_close_ && !keep_temporary_) {
      DeleteFileW(temporary_.c_str());
    }
  }

  // Each Open* sets the file up for one method; false if it cannot be.
  bool OpenDevice(const std::wstring& path) {
    method_ = OutputMethod::kWriteDirectly;
    file_.reset(CreateFileW(path.c_str(), GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr));
    // What the path names may have changed since it was looked at; a file
    // must never be written here.
    return file_ && GetFileType(file_.get()) != FILE_TYPE_DISK;
  }

  // `target` is a full path; `exists` says whether a file is there.
  bool OpenForReplacement(std::wstring target, bool exists) {
    method_ = OutputMethod::kReplace;
    target_ = std::move(target);
    exists_ = exists;
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
    // 255 characters; the process id keeps two runs apart.
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

  OutputMethod method() const override { return method_; }

  // Lines end in CR LF in a Windows text file, as a text-mode stream would
  // write them.
  bool Append(std::string_view text) override {
    line_ends_.clear();
    line_ends_.reserve(text.size() + text.size() / 16);
    for (std::size_t end; (end = text.find('\n')) != std::string_view::npos;) {
      line_ends_.append(text.substr(0, end)).append("\r\n");
      text.remove_prefix(end + 1);
    }
    line_ends_.append(text);
    return WriteAll(file_.get(), line_ends_);
  }

  bool Commit() override {
    if (method_ != OutputMethod::kReplace) return true;
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
    if (GetLastError() != ERROR_FILE_NOT_FOUND) return false;
    exists_ = false;  // gone meanwhile: nothing is left to replace
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
      exists_ = false;
      keep_temporary_ = true;
    }
    return MoveFileExW(temporary_.c_str(), target_.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) !=
           FALSE;
  }

  // Destroyed last: the lock outlasts the replacement.
  std::unique_ptr<FileLock> lock_;
  OutputMethod method_ = OutputMethod::kReplace;
  Handle file_;  // the device, or the new file until it is closed
  std::string line_ends_;  // the text being appended, lines ending in CR LF
  std::wstring target_;  // the file to replace, a full path
  bool exists_ = false;
  std::wstring temporary_;  // the new file, while it has a name of its own
  bool delete_on_close_ = false;
  bool keep_temporary_ = false;
};

// Reads a file through its handle, byte for byte.
class HandleReader final : public std::streambuf {
 public:
  explicit HandleReader(HANDLE file) : file_(file) {}

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
  explicit HandleInput(HANDLE file) : std::istream(nullptr), reader_(file) {
    rdbuf(&reader_);
  }

 private:
  HandleReader reader_;
};

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
    for (;;) {
      const Handle output_file(OpenToQuery(written));
      BY_HANDLE_FILE_INFORMATION information = {};
      if (!output_file || GetFileType(output_file.get()) != FILE_TYPE_DISK ||
          !GetFileInformationByHandle(output_file.get(), &information) ||
          (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return nullptr;
      }
      const Handle input_file(OpenToQuery(read));
      if (!input_file) return nullptr;
      if (!SameFile(input_file.get(), output_file.get())) {
        // Two files, unless another run put a new file under the output's
        // name between the two looks: then they are looked at again.
        const Handle again(OpenToQuery(written));
        if (!again || SameFile(again.get(), output_file.get())) return nullptr;
        continue;
      }
      // Shared for deleting too, so that the file can be replaced while
      // this is open, by this run or, once it is done, by another.
      Handle locked(OpenExisting(read, GENERIC_READ, 0));
      if (!locked) return nullptr;
      if (!SameFile(locked.get(), input_file.get())) continue;
      if (!WaitForLock(locked.get(), true)) return nullptr;
      // A run that held the lock meanwhile may have put a new file under
      // the name, and a lock on the old one keeps nobody from the new one.
      const Handle now(OpenToQuery(read));
      if (!now) return nullptr;
      if (SameFile(now.get(), locked.get())) {
        return std::make_unique<WindowsFileLock>(locked.release());
      }
    }
  }

  std::unique_ptr<std::istream> OpenInput(const std::string& path,
                                          const FileLock* lock) override {
    std::wstring wide;
    if (path.empty() || !ToWide(path, wide)) return nullptr;
    // Backup semantics open a directory too, whose reading then fails, as
    // it does elsewhere.
    const HANDLE file =
        OpenExisting(wide, GENERIC_READ,
                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_SEQUENTIAL_SCAN);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    // The run's own lock keeps other runs out already, and a shared lock
    // would wait for it forever; nor is there anything to lock on what is
    // not a file (a pipe, a directory).
    if (lock == nullptr && GetFileType(file) == FILE_TYPE_DISK) {
      WaitForLock(file, false);
    }
    return std::make_unique<HandleInput>(file);
  }

  std::unique_ptr<OutputFile> OpenOutput(
      const std::string& path, std::unique_ptr<FileLock> lock) override {
    std::wstring wide;
    if (path.empty() || !ToWide(path, wide)) return nullptr;
    auto file = std::make_unique<WindowsOutputFile>(std::move(lock));
    // Opened only to be looked at, which no other program's sharing mode
    // refuses: is it a device, a file or a directory?
    Handle query(OpenToQuery(wide));
    if (!query) {
      if (GetLastError() != ERROR_FILE_NOT_FOUND) return nullptr;
      const std::wstring full = FullPath(wide);
      if (full.empty() || !file->OpenForReplacement(full, false)) {
        return nullptr;
      }
      return file;
    }
    if (GetFileType(query.get()) != FILE_TYPE_DISK) {  // NUL, CON, COM1, ...
      query.reset();
      if (!file->OpenDevice(wide)) return nullptr;
      return file;
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
    // May the file be written at all? Another program holding it open is no
    // answer to that; it is waited for when the new file is complete.
    const Handle writable(CreateFileW(target.c_str(), GENERIC_WRITE, kShareAll,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
    if (!writable && GetLastError() != ERROR_SHARING_VIOLATION &&
        GetLastError() != ERROR_LOCK_VIOLATION) {
      return nullptr;
    }
    if (!file->OpenForReplacement(target, true)) return nullptr;
    return file;
  }
};

}  // namespace

Env* Env::Default() {
  static WindowsEnv env;
  return &env;
}

}  // namespace hexpoke
