// SPDX-License-Identifier: MIT
// What the end-to-end tests share. They run the built hexpoke and check
// what a script sees: standard output, standard error (always empty), the
// exit code and the files left behind. Here are the EndToEnd fixture, which
// gives each test a directory of its own, the texts that hexpoke prints,
// and the helpers that say what runs on this platform.

#ifndef HEXPOKE_TESTS_END_TO_END_H_
#define HEXPOKE_TESTS_END_TO_END_H_

#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#endif

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "ProcessRunner.h"

namespace hexpoke {

namespace fs = std::filesystem;

inline constexpr char kUsage[] =
    "Allowed options:\n"
    "  -h [ --help ]         print usage message\n"
    "  -i [ --input ] arg    pathname for input\n"
    "  -o [ --output ] arg   pathname for output\n"
    "  -a [ --address ] arg  address\n"
    "  -v [ --value ] arg    value for write\n"
    "\n";
inline constexpr char kBadAnyCast[] =
    "Error : boost::bad_any_cast: failed conversion using boost::any_cast\n";

// Text as hexpoke writes it on this platform, to its files and to standard
// output alike: on Windows every line ends in CR LF.
inline std::string Native(std::string text) {
#ifdef _WIN32
  for (std::size_t at = 0; (at = text.find('\n', at)) != std::string::npos;
       at += 2) {
    text.insert(at, 1, '\r');
  }
#endif
  return text;
}

enum class Platform { kAny, kPosix, kWindows };

// Whether a row of a table runs on this platform. One that does not says
// so, so that what is left out shows in the test's output. (Not in
// GoogleTest's words for a skipped test, which CTest would take for the
// whole test's.)
inline bool RunsHere(Platform platform, const std::string& row) {
#ifdef _WIN32
  const Platform other = Platform::kPosix;
#else
  const Platform other = Platform::kWindows;
#endif
  if (platform != other) return true;
  std::cout << "[ NOT RUN  ] row " << row << ": "
            << (other == Platform::kPosix ? "POSIX" : "Windows") << " only\n";
  return false;
}

// Whether a row that needs what this build does runs: one that does not
// says why (`why_not`), as RunsHere does.
inline bool BuildRuns(bool runs, const std::string& row, const char* why_not) {
  if (runs) return true;
  std::cout << "[ NOT RUN  ] row " << row << ": " << why_not << "\n";
  return false;
}

// Whether this build's hexpoke replaces a regular file that is there with
// a new file (see OutputFile in src/env/Env.h). A portable POSIX build
// (HEXPOKE_PORTABLE_POSIX) cannot see a file's extended attributes or ACL,
// which a replacement would strip, so it rewrites every such file in
// place: the file keeps its inode, and no new file, nor any call that
// makes or places one, is made for it.
#ifdef HEXPOKE_PORTABLE_POSIX
inline constexpr bool kReplacesExistingFiles = false;
#else
inline constexpr bool kReplacesExistingFiles = true;
#endif
inline constexpr char kRewritesInPlace[] =
    "this build rewrites a file that is there in place, and makes no new "
    "file for it";

// Whether this build's hexpoke makes its new file without a name
// (O_TMPFILE, Linux's own) where the file system can, so that a kill
// leaves nothing; a portable build names it while it writes it.
#ifdef HEXPOKE_PORTABLE_POSIX
inline constexpr bool kMakesUnnamedFiles = false;
#else
inline constexpr bool kMakesUnnamedFiles = true;
#endif

#ifndef _WIN32
// Whether this build's hexpoke sees that a directory is append-only
// (chattr +a) before it makes a name there: statx says so on Linux. A
// portable build cannot tell (st_flags, which would, is not Linux's), and
// the temporary file that it names there can never be removed again.
#ifdef HEXPOKE_PORTABLE_POSIX
inline constexpr bool kSeesAppendOnlyDirectories = false;
#else
inline constexpr bool kSeesAppendOnlyDirectories = true;
#endif
inline constexpr char kBlindToAppendOnly[] =
    "this build cannot tell an append-only directory before it makes a name "
    "there (no statx), and its temporary file's name would stay";

// Whether this build's hexpoke opens a directory that may be searched but
// not read (a drop box) to look names up in it: with O_PATH on Linux, or
// O_SEARCH where the system has it. A portable build here has neither
// (O_PATH is Linux's own, and Linux has no O_SEARCH), so it opens
// directories to read them, and such a directory refuses it.
#if (defined(__linux__) && !defined(HEXPOKE_PORTABLE_POSIX)) || \
    defined(O_SEARCH)
inline constexpr bool kOpensSearchOnlyDirectories = true;
#else
inline constexpr bool kOpensSearchOnlyDirectories = false;
#endif
inline constexpr char kNoSearchOnlyDirectories[] =
    "without O_PATH or O_SEARCH this build opens a directory to read it, "
    "which a drop box refuses";

// Why hexpoke cannot run under a system-call filter (ProcessOptions'
// refuse_tmpfile and hold_at) here, or nullptr if it can. A cross-built
// hexpoke runs under qemu-user, which implements no seccomp; a filter set
// on the emulator would meet the emulator's own calls.
inline const char* NoFilterHere() {
  return !EmulatorCommand().empty()
             ? "qemu-user: no seccomp filter can hold hexpoke in a system "
               "call or refuse it O_TMPFILE"
             : nullptr;
}

// Whether a row that runs hexpoke under a filter runs here; one that does
// not says why.
inline bool FiltersHere(const std::string& row) {
  if (NoFilterHere() == nullptr) return true;
  std::cout << "[ NOT RUN  ] row " << row << ": " << NoFilterHere() << "\n";
  return false;
}
#endif

// The hexpoke under test. On Windows it is the one beside the test program
// (the build puts them together), since the build's own path for it is a
// Linux path.
inline std::string HexpokeBinary() {
#ifdef _WIN32
  std::wstring self(32768, L'\0');
  self.resize(GetModuleFileNameW(nullptr, self.data(),
                                 static_cast<DWORD>(self.size())));
  return (fs::path(self).parent_path() / "hexpoke.exe").u8string();
#else
  return HEXPOKE_BINARY;
#endif
}

// Two full data records (bytes 00..1F) and the end-of-file record.
inline constexpr char kTwoRecords[] =
    ":10000000000102030405060708090A0B0C0D0E0F78\n"
    ":10001000101112131415161718191A1B1C1D1E1F68\n"
    ":00000001FF\n";
// The same with byte 0 patched to 22.
inline constexpr char kTwoRecordsPatched[] =
    ":10000000220102030405060708090A0B0C0D0E0F56\n"
    ":10001000101112131415161718191A1B1C1D1E1F68\n"
    ":00000001FF\n";

// The usual command line of a patch, without the program: `value` written
// at `address` of the image read from `in`, the image written to `out`.
inline std::vector<std::string> PatchArgs(const std::string& in,
                                          const std::string& out,
                                          const std::string& address,
                                          const std::string& value) {
  return {"-i", in, "-o", out, "-a", address, "-v", value};
}

// The same run by `program` (a copy of hexpoke, say), whole, as
// RunProcess, StartProcess and RunAtOnce take it.
inline std::vector<std::string> PatchCommand(const std::string& program,
                                             const std::string& in,
                                             const std::string& out,
                                             const std::string& address,
                                             const std::string& value) {
  std::vector<std::string> command = PatchArgs(in, out, address, value);
  command.insert(command.begin(), program);
  return command;
}

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    for (int attempt = 0; attempt < 100 && dir_.empty(); ++attempt) {
      const fs::path dir = fs::temp_directory_path() /
                           ("hexpoke-e2e-" + std::to_string(random()));
      if (fs::create_directory(dir)) dir_ = dir;
    }
    ASSERT_FALSE(dir_.empty());
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  // Paths are UTF-8 strings, as hexpoke takes them on every platform.
  std::string Path(const std::string& name) const {
    return (dir_ / fs::u8path(name)).u8string();
  }

  std::string Write(const std::string& name, const std::string& text) const {
    std::ofstream(fs::u8path(Path(name)), std::ios::binary) << text;
    return Path(name);
  }

  static std::string Read(const std::string& path) {
    std::ifstream in(fs::u8path(path), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

  static ProcessResult Hexpoke(std::vector<std::string> args,
                               const ProcessOptions& options = {}) {
    args.insert(args.begin(), HexpokeBinary());
    return RunProcess(args, options);
  }

#ifndef _WIN32
  static struct stat Stat(const std::string& path) {
    struct stat status {};
    EXPECT_EQ(stat(path.c_str(), &status), 0) << path;
    return status;
  }
#endif

  // Files in the test directory, or in `dir`, to catch leftovers.
  std::vector<std::string> Listing(const fs::path& dir = {}) const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir.empty() ? dir_ : dir)) {
      names.push_back(entry.path().filename().u8string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path dir_;
};

struct CliCase {
  const char* name;
  std::vector<std::string> args;
  const char* out;
  int exit_code;
};

#ifndef _WIN32
// Root may write anything, so these runs drop to an unprivileged user. They
// run a copy of the binary from inside the test directory, so that they
// need no access to the directories above it (a build tree, a 0700 TMPDIR).
inline ProcessOptions Unprivileged(const fs::path& dir) {
  fs::permissions(dir, fs::perms::owner_all | fs::perms::group_read |
                           fs::perms::group_exec | fs::perms::others_read |
                           fs::perms::others_exec);
  fs::copy_file(HexpokeBinary(), dir / "hexpoke");
  fs::permissions(dir / "hexpoke",
                  fs::perms::owner_all | fs::perms::group_exec |
                      fs::perms::group_read | fs::perms::others_exec |
                      fs::perms::others_read);
  ProcessOptions unprivileged;
  unprivileged.drop_root = true;
  unprivileged.working_directory = dir.string();
  return unprivileged;
}

// Makes `file`, in `dir`, one that another user may write but only in
// place: anyone may write the file, nobody may add a file beside it.
inline void WritableOnlyInPlace(const fs::path& dir, const fs::path& file) {
  fs::permissions(file, static_cast<fs::perms>(0666));
  fs::permissions(dir, static_cast<fs::perms>(0555));
}
#endif

}  // namespace hexpoke

#endif  // HEXPOKE_TESTS_END_TO_END_H_
