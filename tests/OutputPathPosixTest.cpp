// SPDX-License-Identifier: MIT
// Where hexpoke writes on POSIX systems, and what the file comes out as:
// owners, permission bits and ACLs, extended attributes, links, mounts,
// leases, append-only directories, the kernel's fs.protected_* settings,
// the process's own descriptors, a full device, a file size limit, and
// runs held inside a system call (seccomp) while another run starts, a
// file is swapped in or a signal comes. Built where the system is not
// Windows.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "EndToEnd.h"
#include "PosixFixtures.h"
#include "ProcessRunner.h"

namespace hexpoke {

namespace {

TEST_F(EndToEnd, UnwritableFilesAndDirectoriesAreNotOpened) {
  const ProcessOptions unprivileged = Unprivileged(dir_);
  Write("in.hex", kTwoRecords);
  // A file that may not be written, in a directory that may: replacing it
  // by rename would be possible, but is not what the user allowed.
  fs::create_directory(Path("open"));
  fs::permissions(Path("open"), fs::perms::all);
  const std::string locked = Write("open/locked.hex", "old\n");
  fs::permissions(locked, fs::perms::owner_read | fs::perms::group_read |
                              fs::perms::others_read);
  fs::create_directory(Path("readonly"));
  fs::permissions(Path("readonly"), fs::perms::owner_read |
                                        fs::perms::owner_exec |
                                        fs::perms::others_read |
                                        fs::perms::others_exec);
  for (const std::string out : {"open/locked.hex", "readonly/out.hex"}) {
    const ProcessResult result = RunProcess(
        PatchCommand("./hexpoke", "in.hex", out, "0", "AA"), unprivileged);
    EXPECT_EQ(result.out, "Error : File not opened\n") << out;
    EXPECT_EQ(result.exit_code, 127) << out;
  }
  EXPECT_EQ(Read(locked), "old\n");
  EXPECT_TRUE(fs::is_empty(Path("readonly")));
  EXPECT_EQ(Listing(Path("open")), std::vector<std::string>{"locked.hex"});
}

// Wherever a shell's redirection (`cat IN > OUT`, run by the same user)
// can write a file, hexpoke writes it too, and the file comes out as on a
// plain file. It is replaced where a new file can be made beside it and
// take its place, and otherwise rewritten in place: the same file, owner
// and permissions. Rewritten in place are another user's file, which a
// replacement would take from its owner (shared, sticky); one in a
// directory that may not be written (closed) or that is mounted read-only,
// into which a writable file is mounted; and a file mounted over its name,
// as `docker run -v` mounts one file, which nothing can be renamed over.
// Replaced are files in drop boxes, which may be written and searched but
// not read; a file that another process holds a lease on and gives up
// when asked; and one at the end of a path of 4,050 bytes that ends in a
// relative link, whose target put in its place would pass PATH_MAX. (A
// build that replaces no file rewrites them all in place.)
TEST_F(EndToEnd, AFileIsWrittenWhereverARedirectionWritesIt) {
  const ProcessOptions unprivileged = Unprivileged(dir_);
  // Some 115 KB of text, so that a rewrite in place writes it in pieces.
  std::string interleaved;
  for (int address = 0; address < 0x4000; address += 2) {
    char line[16];
    std::snprintf(line, sizeof line, ":01%04X00%02X%02X\n", address, address & 0xFF,
                  (0x100 - (1 + (address >> 8) + 2 * (address & 0xFF))) & 0xFF);
    interleaved += line;
  }
  Write("in.hex", interleaved);
  const ProcessResult replaced =
      Hexpoke(PatchArgs(Path("in.hex"), Path("replaced.hex"), "0", "22"));
  ASSERT_EQ(replaced.exit_code, 0);
  const std::string patched = Read(Path("replaced.hex"));
  ASSERT_GT(patched.size(), std::size_t{100000});
  const bool as_root = geteuid() == 0;
  const fs::perms closed = fs::perms::owner_read | fs::perms::owner_exec |
                           fs::perms::others_read | fs::perms::others_exec;
  const fs::perms drop_box = fs::perms::owner_all | fs::perms::group_write |
                             fs::perms::group_exec | fs::perms::others_write |
                             fs::perms::others_exec;
  enum Setup {
    kPlain,
    kMountedOverName,
    kMountedReadOnly,
    kLeased,
    kLongPath,
    kHardLinked,  // the file has a second name, which sees what it gets
  };
  const struct {
    const char* dir;
    fs::perms dir_perms;
    bool needs_root;  // the file belongs to someone else, or it mounts
    bool nobodys;  // the file is the running user's (nobody's), or root's
    Setup setup;
    bool in_place;
  } cases[] = {
      {"shared", fs::perms::all, true, false, kPlain, true},
      {"sticky", fs::perms::all | fs::perms::sticky_bit, true, false, kPlain,
       true},
      {"closed", closed, false, false, kPlain, true},
      {"mounted", fs::perms::all, true, true, kMountedOverName, true},
      {"mounted-read-only", fs::perms::all, true, true, kMountedReadOnly,
       true},
      {"drop-box", drop_box, true, true, kPlain, false},
      {"sticky-drop-box", drop_box | fs::perms::sticky_bit, true, true, kPlain,
       false},
      {"leased", fs::perms::all, false, true, kLeased, false},
      {"long", fs::perms::all, false, true, kLongPath, false},
      {"hard-linked", fs::perms::all, false, true, kHardLinked, true},
  };
  for (const auto& c : cases) {
    if (c.needs_root && !as_root) {
      std::cout << "[ NOT RUN  ] row " << c.dir << ": needs root\n";
      continue;
    }
    const bool search_only =
        (c.dir_perms & fs::perms::others_read) == fs::perms::none;
    if (search_only && !BuildRuns(kOpensSearchOnlyDirectories, c.dir,
                                  kNoSearchOnlyDirectories)) {
      continue;
    }
    const std::string dir = Path(c.dir);
    fs::create_directory(dir);
    const std::string file = Write(std::string(c.dir) + "/fw.hex", "old\n");
    // What the row's runs write; for a mount, the file mounted there.
    const std::string written =
        c.setup == kMountedOverName || c.setup == kMountedReadOnly
            ? Write(std::string(c.dir) + "-mounted.hex", "old\n")
            : file;
    ASSERT_EQ(chmod(written.c_str(), 0666), 0) << c.dir;
    if (c.nobodys && as_root) {
      ASSERT_EQ(chown(written.c_str(), 65534, 65534), 0) << c.dir;
    }
    const std::string second_name = Path(std::string(c.dir) + "-link.hex");
    if (c.setup == kHardLinked) fs::create_hard_link(file, second_name);
    if (c.setup == kLeased && !LeaseHolder(file).held()) {
      std::cout << "[ NOT RUN  ] row " << c.dir << ": no leases here\n";
      continue;
    }
    fs::permissions(dir, c.dir_perms);
    std::string out = std::string(c.dir) + "/fw.hex";
    if (c.setup == kLongPath) {
      const std::size_t length =
          std::min<std::size_t>(4050, 4090 - dir_.string().size());
      out = LongPathTo(dir_, length, out);
    }
    {
      PrivateMounts mounts;
      if ((c.setup == kMountedReadOnly && !mounts.Bind(dir, dir, true)) ||
          ((c.setup == kMountedOverName || c.setup == kMountedReadOnly) &&
           !mounts.Bind(written, file))) {
        std::cout << "[ NOT RUN  ] row " << c.dir << ": no mount namespace\n";
        continue;
      }
      const struct stat before = Stat(file);
      for (const bool shell : {true, false}) {
        const char* run = shell ? " (redirection)" : " (hexpoke)";
        std::unique_ptr<LeaseHolder> holder;
        if (c.setup == kLeased) holder = std::make_unique<LeaseHolder>(file);
        const ProcessResult result =
            shell ? Redirect("in.hex", out, unprivileged)
                  : RunProcess(
                        PatchCommand("./hexpoke", "in.hex", out, "0", "22"),
                        unprivileged);
        EXPECT_EQ(result.out, "") << c.dir << run;
        EXPECT_EQ(result.exit_code, 0) << c.dir << run;
        EXPECT_EQ(Read(file), shell ? interleaved : patched) << c.dir << run;
        if (c.setup == kHardLinked) {
          EXPECT_EQ(Read(second_name), Read(file)) << c.dir << run;
        }
        if (holder) {
          EXPECT_TRUE(holder->held() && holder->GaveUp()) << run;
        }
      }
      const struct stat after = Stat(file);
      EXPECT_EQ(after.st_ino == before.st_ino,
                c.in_place || !kReplacesExistingFiles)
          << c.dir;
      EXPECT_EQ(after.st_uid, before.st_uid) << c.dir;
      EXPECT_EQ(after.st_mode, before.st_mode) << c.dir;
      EXPECT_EQ(Listing(dir), std::vector<std::string>{"fw.hex"}) << c.dir;
    }
    fs::permissions(dir, fs::perms::all);  // to clean up
  }
}

// A run that writes or reads a file waits for whatever holds it, and then
// works on what the name leads to by then. The holder is another run, held
// inside its rewrite in place (at the cut to length, its text written over
// the longer old one) or inside its replacement (at the new file's sync,
// before the rename), or another program's lock: flock(1)'s flock(2) lock,
// or an fcntl(2) lock. So the file is never one run's text cut short or
// padded by another's, no reader sees it half rewritten or reads the file
// that another run has just replaced, and no patch is lost.
TEST_F(EndToEnd, RunsWaitForWhatHoldsTheirFile) {
  const ProcessOptions unprivileged = Unprivileged(dir_);
  Write("empty.hex", "");
  std::string old_text;
  for (int i = 0; i < 20; ++i) old_text += kTwoRecords;
  Write("old.hex", old_text);
  // In "closed" a file is rewritten in place, in "open" replaced. What the
  // runs write when each runs alone: the first, a reader of that, a patch
  // of the old file.
  fs::create_directory(Path("closed"));
  fs::create_directory(Path("open"));
  fs::permissions(Path("open"), fs::perms::all);
  for (const auto& alone :
       {PatchArgs(Path("empty.hex"), Path("first.hex"), "100", "01"),
        PatchArgs(Path("first.hex"), Path("read.hex"), "0", "02"),
        PatchArgs(Path("old.hex"), Path("old-patched.hex"), "0", "02")}) {
    ASSERT_EQ(Hexpoke(alone).exit_code, 0);
  }
  const std::string first_text = Read(Path("first.hex"));
  const std::string read_text = Read(Path("read.hex"));
  enum Holder { kRewritingRun, kReplacingRun, kFlock, kFcntlLock };
  const struct {
    const char* name;
    Holder holder;
    const char* file;  // what the holder holds
    std::vector<std::string> second;
    std::string file_after;
    std::string second_output;  // what the second writes to open/out.hex
  } cases[] = {
      {"a rewrite during a rewrite", kRewritingRun, "closed/fw.hex",
       PatchCommand("./hexpoke", "empty.hex", "closed/fw.hex", "0", "02"),
       ":0100000002FD\n:00000001FF\n", ""},
      {"a reader during a rewrite", kRewritingRun, "closed/fw.hex",
       PatchCommand("./hexpoke", "closed/fw.hex", "open/out.hex", "0", "02"),
       first_text, read_text},
      {"a reader during a replacement", kReplacingRun, "open/fw.hex",
       PatchCommand("./hexpoke", "open/fw.hex", "open/out.hex", "0", "02"),
       first_text, read_text},
      {"a patch in place during a replacement", kReplacingRun, "open/fw.hex",
       PatchCommand("./hexpoke", "open/fw.hex", "open/fw.hex", "0", "02"),
       read_text, ""},
      {"a patch in place beside flock(1)", kFlock, "open/fw.hex",
       PatchCommand("./hexpoke", "open/fw.hex", "open/fw.hex", "0", "02"),
       Read(Path("old-patched.hex")), ""},
      {"a patch in place beside an fcntl lock", kFcntlLock, "open/fw.hex",
       PatchCommand("./hexpoke", "open/fw.hex", "open/fw.hex", "0", "02"),
       Read(Path("old-patched.hex")), ""},
  };
  for (const auto& c : cases) {
    const bool run_holds = c.holder == kRewritingRun || c.holder == kReplacingRun;
    if (run_holds && !FiltersHere(c.name)) continue;
#ifdef HEXPOKE_PORTABLE_POSIX
    if (c.holder == kFcntlLock) {
      std::cout << "[ NOT RUN  ] row " << c.name
                << ": this build takes flock(2) locks only\n";
      continue;
    }
#endif
    fs::permissions(Path("closed"), fs::perms::all);
    fs::remove(Path("open/out.hex"));
    const std::string file = Write(c.file, old_text);
    // The runs' own file where they replace it, anyone's where they may
    // only write it.
    if (geteuid() == 0 && c.holder != kRewritingRun) {
      ASSERT_EQ(chown(file.c_str(), 65534, 65534), 0) << c.name;
    }
    if (c.holder == kRewritingRun) WritableOnlyInPlace(Path("closed"), file);
    const ino_t inode = Stat(file).st_ino;
    StartedProcess second;
    bool second_waited = false;
    const auto start_second = [&] {
      second = StartProcess(c.second, unprivileged);
      // Until it has ended or waits for the lock on the file; 20 s at most.
      for (int tries = 0; tries < 20000; ++tries) {
        siginfo_t ended{};
        if (waitid(P_PID, static_cast<id_t>(second.pid), &ended,
                   WEXITED | WNOHANG | WNOWAIT) == 0 &&
            ended.si_pid == second.pid) {
          break;
        }
        if (SomeoneWaitsToLock(inode)) {
          second_waited = true;
          break;
        }
        usleep(1000);
      }
    };
    ProcessResult first;
    if (run_holds) {
      ProcessOptions held = unprivileged;
      held.hold_at = c.holder == kRewritingRun ? SYS_ftruncate : SYS_fsync;
      held.on_hold = [&](pid_t, int nth) {
        if (nth == 0) start_second();
      };
      first = RunProcess(
          PatchCommand("./hexpoke", "empty.hex", c.file, "100", "01"), held);
    } else {
      const int fd = open(file.c_str(), O_RDWR | O_CLOEXEC);
      struct flock whole {};
      whole.l_type = F_WRLCK;
      whole.l_whence = SEEK_SET;
      ASSERT_EQ(c.holder == kFlock ? flock(fd, LOCK_EX)
                                   : fcntl(fd, F_SETLK, &whole),
                0)
          << c.name;
      start_second();
      close(fd);  // which lets go of the lock
      first.exit_code = 0;
    }
    ASSERT_GT(second.pid, 0) << c.name;
    const ProcessResult second_result = WaitForProcess(second);
    EXPECT_EQ(first.out, "") << c.name;
    EXPECT_EQ(first.exit_code, 0) << c.name;
    EXPECT_EQ(second_result.out, "") << c.name;
    EXPECT_EQ(second_result.exit_code, 0) << c.name;
    EXPECT_TRUE(second_waited) << c.name;
    EXPECT_EQ(Read(file), c.file_after) << c.name;
    EXPECT_EQ(fs::exists(Path("open/out.hex")) ? Read(Path("open/out.hex"))
                                               : "",
              c.second_output)
        << c.name;
    if (c.holder == kRewritingRun) {
      EXPECT_EQ(Stat(file).st_ino, inode) << c.name;
    }
    for (const char* dir : {"closed", "open"}) {
      for (const std::string& name : Listing(Path(dir))) {
        EXPECT_TRUE(name == "fw.hex" || name == "out.hex")
            << c.name << ": " << dir << "/" << name;
      }
    }
  }
  fs::permissions(Path("closed"), fs::perms::all);  // to clean up
}

// In an append-only directory no name can be removed or renamed again, so
// none may be made there for the new file: a file that is there is
// rewritten in place, and a new one is made without a name and linked
// under its own, or where no file can be made without a name, not made at
// all. Nothing is left behind. A build that cannot see that a directory is
// append-only still rewrites the file that is there in place, as it
// rewrites every such file.
TEST_F(EndToEnd, AnAppendOnlyDirectoryGetsNoTemporaryFile) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root to make a directory append-only";
  }
  const std::string in = Write("in.hex", kTwoRecords);
  const struct {
    const char* name;
    bool exists;
    bool refuse_tmpfile;
    const char* out;
  } cases[] = {
      {"a file that is there", true, false, ""},
      {"a file that is there, no unnamed files", true, true, ""},
      {"a new file", false, false, ""},
      {"a new file, no unnamed files", false, true,
       "Error : File not opened\n"},
  };
  AppendOnlyDirectories append_only;
  int n = 0;
  for (const auto& c : cases) {
    if (c.refuse_tmpfile && !FiltersHere(c.name)) continue;
    if (!c.exists &&
        !BuildRuns(kSeesAppendOnlyDirectories, c.name, kBlindToAppendOnly)) {
      continue;
    }
    const std::string dir = Path("log" + std::to_string(n++));
    fs::create_directory(dir);
    const std::string file = dir + "/fw.hex";
    if (c.exists) std::ofstream(file) << kTwoRecords;
    const ino_t inode = c.exists ? Stat(file).st_ino : 0;
    if (!append_only.Add(dir)) {
      GTEST_SKIP() << "no append-only directories on this file system";
    }
    ProcessOptions options;
    options.refuse_tmpfile = c.refuse_tmpfile;
    const ProcessResult result =
        Hexpoke(PatchArgs(in, file, "0", "22"), options);
    const bool written = std::string(c.out).empty();
    EXPECT_EQ(result.out, c.out) << c.name;
    EXPECT_EQ(result.exit_code, written ? 0 : 127) << c.name;
    if (written) {
      EXPECT_EQ(Read(file), kTwoRecordsPatched) << c.name;
    }
    if (c.exists) {
      EXPECT_EQ(Stat(file).st_ino, inode) << c.name;
    }
    EXPECT_EQ(Listing(dir), c.exists || written
                                ? std::vector<std::string>{"fw.hex"}
                                : std::vector<std::string>{})
        << c.name;
  }
}

TEST_F(EndToEnd, AFailedWriteIsAFailure) {
  const std::string in = Write("in.hex", kTwoRecords);
  const ProcessResult result = Hexpoke(PatchArgs(in, "/dev/full", "0", "AA"));
  EXPECT_EQ(result.out, "Error : File not written\n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.exit_code, 127);
}

// Whether the new file is made without a name (O_TMPFILE) or with one, on
// disk or on tmpfs (/dev/shm), the old file survives a failed write, and a
// new name is left as it was, nothing. A file rewritten in place (one with
// a second name, or in a build that rewrites every file) is not written at
// all: past the limit a write fails wherever it starts, even over the old
// text of a file already longer, so the rewrite would stop halfway.
TEST_F(EndToEnd, AFileSizeLimitMidWriteLeavesTheFileIntact) {
  std::vector<fs::path> dirs = {dir_};
  std::string shm = "/dev/shm/hexpoke-e2e-XXXXXX";
  if (fs::is_directory("/dev/shm") && mkdtemp(shm.data()) != nullptr) {
    dirs.emplace_back(shm);
  }
  const struct {
    const char* name;
    const char* output;       // in the directory beside firmware.hex
    const char* second_name;  // another link to firmware.hex, or none
  } cases[] = {
      {"the file", "firmware.hex", nullptr},
      {"the file, which has a second name", "firmware.hex", "second.hex"},
      {"a new name", "new.hex", nullptr},
  };
  for (const fs::path& dir : dirs) {
    // A 64 KiB image makes some 180 KB of text; the limit stops it at 4 KiB.
    const std::string file = (dir / "firmware.hex").string();
    Write("empty.hex", "");
    ASSERT_EQ(Hexpoke(PatchArgs(Path("empty.hex"), file, "65535", "01"))
                  .exit_code,
              0);
    fs::remove(Path("empty.hex"));
    const std::string original = Read(file);
    for (const auto& c : cases) {
      std::vector<std::string> listing = {"firmware.hex"};
      if (c.second_name != nullptr) {
        fs::create_hard_link(file, dir / c.second_name);
        listing.push_back(c.second_name);
      }
      for (const bool refuse_tmpfile : {false, true}) {
        const std::string name = file + ", " + c.name +
                                 (refuse_tmpfile ? ", named" : "");
        if (refuse_tmpfile && !FiltersHere(name)) continue;
        ProcessOptions options;
        options.file_size_limit = 4096;
        options.refuse_tmpfile = refuse_tmpfile;
        const ProcessResult result = Hexpoke(
            PatchArgs(file, (dir / c.output).string(), "0", "AA"), options);
        EXPECT_EQ(result.out, "Error : File not written\n") << name;
        EXPECT_EQ(result.exit_code, 127) << name;
        EXPECT_EQ(Read(file), original) << name;
        EXPECT_EQ(Listing(dir), listing) << name;
      }
      if (c.second_name != nullptr) fs::remove(dir / c.second_name);
    }
  }
  if (dirs.size() > 1) fs::remove_all(dirs.back());
}

TEST_F(EndToEnd, ASymbolicLinkIsFollowedAndStaysALink) {
  const std::string in = Write("in.hex", ":0100000011EE\n");
  const std::string real = Write("real.hex", "old\n");
  fs::create_symlink("real.hex", Path("link.hex"));
  const ProcessResult result =
      Hexpoke(PatchArgs(in, Path("link.hex"), "0", "22"));
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_TRUE(fs::is_symlink(Path("link.hex")));
  EXPECT_EQ(Read(real), ":0100000022DD\n:00000001FF\n");
  EXPECT_EQ(Listing(),
            (std::vector<std::string>{"in.hex", "link.hex", "real.hex"}));

  // A loop of links names no file at all.
  fs::create_symlink("loop-b", Path("loop-a"));
  fs::create_symlink("loop-a", Path("loop-b"));
  const ProcessResult loop = Hexpoke(PatchArgs(in, Path("loop-a"), "0", "22"));
  EXPECT_EQ(loop.out, "Error : File not opened\n");
  EXPECT_EQ(loop.exit_code, 127);
  EXPECT_TRUE(fs::is_symlink(Path("loop-a")));
}

// Root may write only where the kernel would let a shell redirection
// (`cat IN > OUT`) write: in a sticky directory such as /tmp, another
// user's link, file or FIFO is refused as the kernel's fs.protected_*
// settings say, and left exactly as it was; what they allow is written as
// ever. Each row sets the three settings.
TEST_F(EndToEnd, RootWritesOnlyWhereARedirectionWould) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, whom the settings bind";
  const ProtectedFilesSettings settings;
  if (!settings.Set(0, 0, 0)) {
    GTEST_SKIP() << "fs.protected_* cannot be set here";
  }
  const std::string in = Write("in.hex", ":0100000011EE\n");
  const std::string image = ":0100000022DD\n:00000001FF\n";
  const fs::perms world = fs::perms::all | fs::perms::sticky_bit;
  const fs::perms group =
      fs::perms::owner_all | fs::perms::group_all | fs::perms::sticky_bit;
  enum Planted { kLink, kLinkToNothing, kFile, kFifo, kFifoWithReader };
  enum Outcome { kRefused, kWritten, kWaitsForAReader };
  const struct {
    const char* name;
    Planted planted;  // by nobody, as out.hex in a directory of root's
    fs::perms dir_perms;
    int symlinks, regular, fifos;
    Outcome outcome;
  } cases[] = {
      {"a link in a sticky world-writable directory", kLink, world, 1, 0, 0,
       kRefused},
      {"a link there, protected_symlinks off", kLink, world, 0, 0, 0,
       kWritten},
      {"a link in a directory that is not sticky", kLink, fs::perms::all, 1,
       2, 2, kWritten},
      {"a link to a name that is nothing yet", kLinkToNothing, world, 1, 0,
       0, kRefused},
      {"a file in a sticky world-writable directory", kFile, world, 0, 1, 0,
       kRefused},
      {"a file there, protected_regular off", kFile, world, 0, 0, 0,
       kWritten},
      {"a file in a sticky group-writable directory, level 2", kFile, group,
       0, 2, 0, kRefused},
      {"a file there, level 1", kFile, group, 0, 1, 0, kWritten},
      {"a FIFO without a reader in a sticky world-writable directory", kFifo,
       world, 0, 0, 1, kRefused},
      {"a FIFO with a reader in a sticky group-writable directory, level 2",
       kFifoWithReader, group, 0, 0, 2, kRefused},
      {"a FIFO with a reader, protected_fifos off", kFifoWithReader, world, 0,
       0, 0, kWritten},
      {"a FIFO without a reader, protected_fifos off", kFifo, world, 0, 0, 0,
       kWaitsForAReader},
  };
  int n = 0;
  for (const auto& c : cases) {
    ASSERT_TRUE(settings.Set(c.symlinks, c.regular, c.fifos)) << c.name;
    const std::string private_dir = Path("private" + std::to_string(n));
    fs::create_directory(private_dir);
    fs::permissions(private_dir, fs::perms::owner_all);
    const std::string victim = private_dir + "/victim.hex";
    std::ofstream(victim) << "victim\n";
    const std::string dir = Path("shared" + std::to_string(n++));
    fs::create_directory(dir);
    ASSERT_EQ(chown(dir.c_str(), 0, 65534), 0) << c.name;
    fs::permissions(dir, c.dir_perms);
    const std::string out = dir + "/out.hex";
    switch (c.planted) {
      case kLink:
        fs::create_symlink(victim, out);
        break;
      case kLinkToNothing:
        fs::create_symlink(private_dir + "/new.hex", out);
        break;
      case kFile:
        std::ofstream(out).close();
        ASSERT_EQ(chmod(out.c_str(), 0666), 0) << c.name;
        break;
      case kFifo:
      case kFifoWithReader:
        ASSERT_EQ(mkfifo(out.c_str(), 0666), 0) << c.name;
        break;
    }
    ASSERT_EQ(lchown(out.c_str(), 65534, 65534), 0) << c.name;
    const int reader = c.planted == kFifoWithReader
                           ? open(out.c_str(), O_RDONLY | O_NONBLOCK)
                           : -1;
    struct stat planted {};
    ASSERT_EQ(lstat(out.c_str(), &planted), 0) << c.name;
    const struct stat victim_before = Stat(victim);

    ProcessOptions options;
    // A FIFO that nobody reads would hold the run forever.
    options.alarm_seconds = c.outcome == kWaitsForAReader ? 1 : 10;
    const ProcessResult result =
        Hexpoke(PatchArgs(in, out, "0", "22"), options);
    std::string streamed;
    if (reader >= 0) {
      char buffer[4096];
      ssize_t got;
      while ((got = read(reader, buffer, sizeof buffer)) > 0) {
        streamed.append(buffer, static_cast<std::size_t>(got));
      }
      close(reader);
    }
    struct stat after {};
    ASSERT_EQ(lstat(out.c_str(), &after), 0) << c.name;
    switch (c.outcome) {
      case kRefused:
        EXPECT_EQ(result.out, "Error : File not opened\n") << c.name;
        EXPECT_EQ(result.exit_code, 127) << c.name;
        EXPECT_TRUE(SameStatus(after, planted)) << c.name;
        EXPECT_EQ(streamed, "") << c.name;
        break;
      case kWritten:
        EXPECT_EQ(result.out, "") << c.name;
        EXPECT_EQ(result.exit_code, 0) << c.name;
        if (c.planted == kLink) {
          EXPECT_TRUE(SameStatus(after, planted)) << c.name;
          EXPECT_EQ(Read(victim), image) << c.name;
        } else if (c.planted == kFile) {
          EXPECT_EQ(Read(out), image) << c.name;
          EXPECT_EQ(after.st_uid, 65534u) << c.name;
          EXPECT_EQ(after.st_mode, planted.st_mode) << c.name;
        } else {
          EXPECT_EQ(streamed, image) << c.name;
        }
        break;
      case kWaitsForAReader:
        EXPECT_EQ(result.signal, SIGALRM) << c.name;
        EXPECT_TRUE(SameStatus(after, planted)) << c.name;
        break;
    }
    if (c.planted != kLink || c.outcome != kWritten) {
      EXPECT_EQ(Read(victim), "victim\n") << c.name;
      EXPECT_EQ(Stat(victim).st_ino, victim_before.st_ino) << c.name;
    }
    EXPECT_EQ(Listing(dir), std::vector<std::string>{"out.hex"}) << c.name;
    EXPECT_EQ(Listing(private_dir), std::vector<std::string>{"victim.hex"})
        << c.name;
  }
}

TEST_F(EndToEnd, AReplacedFileKeepsItsPermissionBits) {
  const std::string file = Write("firmware.hex", kTwoRecords);
  fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write |
                            fs::perms::group_read);
  const ProcessResult result = Hexpoke(PatchArgs(file, file, "0", "22"));
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(fs::status(file).permissions(),
            fs::perms::owner_read | fs::perms::owner_write |
                fs::perms::group_read);
}

// A new file gets what creating it gives, as a redirection's open does
// there (which makes made.hex beside it): the umask, or where the
// directory has a default ACL, that ACL (an ACL of the file's own
// included) cut to what mode 0666 allows, the umask then ignored; in a drop
// box too, a directory that nobody may write and search but not read.
// Until the text is all written no one else may read it: the child is held
// at its first write.
TEST_F(EndToEnd, ANewFileGetsWhatCreatingItGives) {
  const ProcessOptions unprivileged = Unprivileged(dir_);
  Write("in.hex", ":0100000011EE\n");
  const struct {
    const char* name;
    const char* default_acl;  // for setfacl -d -m, or none
    mode_t umask;
    bool drop_box = false;  // run by nobody in a directory of mode 0733
  } cases[] = {
      {"the umask", nullptr, 027},
      {"a default ACL that gives group and others nothing", "u::rw,g::-,o::-",
       022},
      {"a default ACL with a named user", "u::rwx,u:1:rwx,g::r,o::r,m::rwx",
       077},
      {"a default ACL in a drop box", "u::rw,g::r,o::-", 022, true},
  };
  int n = 0;
  for (const auto& c : cases) {
    if (c.drop_box && geteuid() != 0) {
      std::cout << "[ NOT RUN  ] row " << c.name << ": needs root\n";
      continue;
    }
    if (c.drop_box && !BuildRuns(kOpensSearchOnlyDirectories, c.name,
                                 kNoSearchOnlyDirectories)) {
      continue;
    }
    for (const bool refuse_tmpfile : {false, true}) {
      const std::string name =
          std::string(c.name) + (refuse_tmpfile ? ", named" : "");
      if (refuse_tmpfile && !FiltersHere(name)) continue;
      const std::string dir = Path("new" + std::to_string(n++));
      fs::create_directory(dir);
      if (c.default_acl != nullptr) {
        ASSERT_EQ(std::system(("setfacl -d -m " + std::string(c.default_acl) +
                               " '" + dir + "'")
                                  .c_str()),
                  0)
            << name;
      }
      if (c.drop_box) {
        fs::permissions(dir, fs::perms::owner_all | fs::perms::group_write |
                                 fs::perms::group_exec |
                                 fs::perms::others_write |
                                 fs::perms::others_exec);
      }
      // Root, or in a drop box nobody, in the test directory.
      ProcessOptions as_user = unprivileged;
      as_user.drop_root = c.drop_box;
      const std::string hexpoke = c.drop_box ? "./hexpoke" : HexpokeBinary();
      const std::string real_dir = fs::canonical(dir).string() + "/";
      std::string readable;  // files the child held open that others may read
      ProcessOptions options = as_user;
      options.refuse_tmpfile = refuse_tmpfile;
      // Where no filter can hold it, what the file gets is checked, not
      // who could read it while it was written.
      if (NoFilterHere() == nullptr) options.hold_at = SYS_write;
      options.on_hold = [&](pid_t pid, int nth) {
        if (nth != 0) return;
        const fs::path fds = "/proc/" + std::to_string(pid) + "/fd";
        for (const auto& fd : fs::directory_iterator(fds)) {
          const std::string target = fs::read_symlink(fd.path()).string();
          if (target.rfind(real_dir, 0) == 0 &&
              (Stat(fd.path().string()).st_mode & 077) != 0) {
            readable += target + "\n";
          }
        }
      };
      const std::string relative = fs::path(dir).filename().string();
      const mode_t saved_umask = umask(c.umask);
      ProcessOptions shell = as_user;
      shell.host_program = true;
      const ProcessResult made = RunProcess(
          {"/bin/sh", "-c", ": > \"$0\"", relative + "/made.hex"}, shell);
      const ProcessResult result = RunProcess(
          PatchCommand(hexpoke, "in.hex", relative + "/fw.hex", "0", "22"),
          options);
      umask(saved_umask);
      ASSERT_EQ(made.exit_code, 0) << name;
      EXPECT_EQ(result.out, "") << name;
      EXPECT_EQ(result.exit_code, 0) << name;
      EXPECT_EQ(Read(dir + "/fw.hex"), ":0100000022DD\n:00000001FF\n") << name;
      EXPECT_EQ(Stat(dir + "/fw.hex").st_mode, Stat(dir + "/made.hex").st_mode)
          << name;
      EXPECT_EQ(Acl(dir + "/fw.hex"), Acl(dir + "/made.hex")) << name;
      EXPECT_EQ(readable, "") << name;
      EXPECT_EQ(Listing(dir), (std::vector<std::string>{"fw.hex", "made.hex"}))
          << name;
    }
  }
}

// Root patching another user's file gives a new file that is still that
// user's, with the same group, permissions, ACL and extended attributes. The
// ACL's mask (rw) is wider than the owning group's own entry (r), and must
// not become the group's permission. A build that replaces no file
// rewrites it in place, which keeps them all.
TEST_F(EndToEnd, AReplacementKeepsOwnerGroupAclAndAttributes) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give a file away";
  const std::string file = Write("firmware.hex", kTwoRecords);
  fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write |
                            fs::perms::group_read);
  ASSERT_EQ(chown(file.c_str(), 65534, 65534), 0);
  ASSERT_EQ(std::system(("setfacl -m u:1:rw,g:4:r '" + file + "'").c_str()), 0);
  const bool user_attributes =
      setxattr(file.c_str(), "user.hexpoke-test", "kept", 4, 0) == 0;
  const std::string acl = Acl(file);
  ASSERT_NE(acl.find("user:1:rw-"), std::string::npos) << acl;
  ASSERT_NE(acl.find("group::r--"), std::string::npos) << acl;
  const struct stat before = Stat(file);

  const ProcessResult result = Hexpoke(PatchArgs(file, file, "0", "22"));
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(Read(file).substr(0, 15), ":10000000220102");
  const struct stat after = Stat(file);
  // Replaced, not rewritten; or rewritten, by a build that replaces no file.
  EXPECT_EQ(after.st_ino != before.st_ino, kReplacesExistingFiles);
  EXPECT_EQ(after.st_uid, 65534u);
  EXPECT_EQ(after.st_gid, 65534u);
  EXPECT_EQ(after.st_mode, before.st_mode);
  EXPECT_EQ(Acl(file), acl);
  if (user_attributes) {
    char value[16] = {};
    EXPECT_EQ(getxattr(file.c_str(), "user.hexpoke-test", value, sizeof value),
              4);
    EXPECT_STREQ(value, "kept");
  }
  EXPECT_EQ(Listing(), std::vector<std::string>{"firmware.hex"});
}

// The process's own descriptors, however they are named, are written
// through: the image follows what was printed before it, and appends where
// standard output was opened to append. Nothing is truncated or replaced.
// So too in a PID namespace that sees its parent's /proc, as in a container
// or sandbox without a /proc of its own, where getpid() is 1 and /proc/self
// is some other number.
TEST_F(EndToEnd, OwnDescriptorsAreWrittenThroughInOrder) {
  const std::string in = Write("in.hex", ":0100000011EE\n:0400100001020304\n");
  const std::string message = "error len: size - >8 4\n";
  const std::string image = ":0100000022DD\n:00000001FF\n";
  fs::create_symlink("/dev/stdout", Path("to-stdout"));
  fs::create_symlink("/proc/self/fd", Path("my-fds"));
  const std::vector<std::string> in_pid_namespace = {"/usr/bin/unshare",
                                                     "--pid", "--fork"};
  ProcessOptions on_host;
  on_host.host_program = true;
  const bool pid_namespaces =
      geteuid() == 0 &&
      RunProcess({in_pid_namespace[0], in_pid_namespace[1],
                  in_pid_namespace[2], "/bin/true"},
                 on_host)
              .exit_code == 0;
  const struct {
    std::string output;
    bool appends;
    std::string out;
    std::string err;
    bool pid_namespace = false;
  } cases[] = {
      {"/dev/stdout", false, message + image, ""},
      {"/proc/self/fd/1", false, message + image, ""},
      {"/dev/fd/1", false, message + image, ""},
      {Path("to-stdout"), false, message + image, ""},
      {Path("my-fds") + "/1", false, message + image, ""},
      {"/dev/stdout", true, "earlier log\n" + message + image, ""},
      {"/dev/stderr", false, message, image},
      {"/dev/stdout", true, "earlier log\n" + message + image, "", true},
      {"/proc/self/fd/1", false, message + image, "", true},
  };
  for (const auto& c : cases) {
    const std::string name =
        c.output + (c.pid_namespace ? ", in a PID namespace" : "");
    if (c.pid_namespace && !pid_namespaces) {
      std::cout << "[ NOT RUN  ] row " << name
                << ": needs root and unshare --pid\n";
      continue;
    }
    ProcessOptions options;
    options.stdout_appends = c.appends;
    if (c.appends) options.stdout_before = "earlier log\n";
    std::vector<std::string> args =
        PatchCommand(HexpokeBinary(), in, c.output, "0", "22");
    if (c.pid_namespace) {
      // unshare is the machine's own; hexpoke after it is the target's.
      const std::vector<std::string> emulator = EmulatorCommand();
      args.insert(args.begin(), emulator.begin(), emulator.end());
      args.insert(args.begin(), in_pid_namespace.begin(),
                  in_pid_namespace.end());
      options.host_program = true;
    }
    const ProcessResult result = RunProcess(args, options);
    EXPECT_EQ(result.out, c.out) << name;
    EXPECT_EQ(result.err, c.err) << name;
    EXPECT_EQ(result.exit_code, 0) << name;
  }
  EXPECT_EQ(Listing(),
            (std::vector<std::string>{"in.hex", "my-fds", "to-stdout"}));
}

// The child is held at the chmod that gives the new file the old one's
// permissions, or for a new name the mode that creating it gave (the
// first made it private as soon as it was made): everything has been
// written, nothing carried over yet. The new file, named or not, must then
// be its owner's alone, and so must every file in the directory.
TEST_F(EndToEnd, TheNewFileIsPrivateWhileItIsWritten) {
  if (NoFilterHere() != nullptr) GTEST_SKIP() << NoFilterHere();
  const std::string file = Write("firmware.hex", "");
  ASSERT_EQ(Hexpoke(PatchArgs(file, file, "65535", "01")).exit_code, 0);
  const std::string old_contents = Read(file);
  fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write |
                            fs::perms::group_read | fs::perms::others_read);
  // As the child's descriptors show it, links resolved.
  const std::string real_dir = fs::canonical(dir_).string() + "/";
  const std::string real_file = fs::canonical(file).string();
  const struct {
    const char* name;
    const char* output;
    int nth;  // the first chmod at which everything has been written
  } cases[] = {
      {"the file", "firmware.hex", 0},
      {"a new name", "new.hex", 1},
  };
  for (const auto& c : cases) {
    const std::string out = Path(c.output);
    if (out == file &&
        !BuildRuns(kReplacesExistingFiles, c.name, kRewritesInPlace)) {
      continue;
    }
    for (const bool refuse_tmpfile : {false, true}) {
      const std::string name =
          std::string(c.name) + (refuse_tmpfile ? ", named" : "");
      std::string seen;  // "name mode size" of each new file, for the message
      int private_new_files = 0;
      ProcessOptions options;
      options.refuse_tmpfile = refuse_tmpfile;
      options.hold_at = SYS_fchmod;
      options.on_hold = [&](pid_t pid, int nth) {
        if (nth < c.nth) return;
        const fs::path fds = "/proc/" + std::to_string(pid) + "/fd";
        for (const auto& fd : fs::directory_iterator(fds)) {
          const std::string target = fs::read_symlink(fd.path()).string();
          if (target.rfind(real_dir, 0) != 0 || target == real_file) continue;
          const struct stat status = Stat(fd.path().string());
          seen += target + " " + std::to_string(status.st_mode & 0777) + " " +
                  std::to_string(status.st_size) + "\n";
          if ((status.st_mode & 077) == 0 &&
              static_cast<std::size_t>(status.st_size) ==
                  old_contents.size()) {
            ++private_new_files;
          }
        }
        for (const auto& entry : fs::directory_iterator(dir_)) {
          const std::string path = entry.path().string();
          if (path != file) {
            EXPECT_EQ(Stat(path).st_mode & 077, 0u) << path;
          }
        }
      };
      // A new file gets 0644 from the umask, as the old one has it.
      const mode_t saved_umask = umask(022);
      const ProcessResult result =
          Hexpoke(PatchArgs(file, out, "0", "01"), options);
      umask(saved_umask);
      EXPECT_EQ(result.exit_code, 0) << name;
      EXPECT_EQ(private_new_files, 1) << name << "\n" << seen;
      EXPECT_EQ(Stat(out).st_mode & 0777, 0644u) << name;
      std::vector<std::string> listing = {"firmware.hex"};
      if (out != file) listing.push_back(c.output);
      EXPECT_EQ(Listing(), listing) << name;
      if (out != file) fs::remove(out);
    }
  }
}

// Another file is put under the output's name once the run has opened the
// file that was there. Once the run holds the file's lock, the file that
// took the name is another program's, which takes no lock: the run fails,
// and that file is neither replaced nor written. The child is held at the
// new file's sync (before the rename) or, rewriting in place, at its first
// write. While the run waits for the lock, though, the file that takes the
// name is what another run would put there: the run locks that one
// instead, and writes it. The child is held at the lock. In every case the
// file swapped in is left alone.
TEST_F(EndToEnd, AFileSwappedInMeanwhileIsLeftAlone) {
  if (NoFilterHere() != nullptr) GTEST_SKIP() << NoFilterHere();
  const ProcessOptions unprivileged = Unprivileged(dir_);
  Write("in.hex", kTwoRecords);
  const struct {
    const char* name;
    bool exists;     // the output is there before the run
    bool in_place;   // run by a user who may not write the directory
    long call;
    bool written;    // the file swapped in gets the run's text
  } cases[] = {
      {"replaced", true, false, SYS_fsync, false},
      {"made new", false, false, SYS_fsync, false},
      {"rewritten in place", true, true, SYS_pwrite64, false},
      {"swapped while the run waits for the lock", true, true, SYS_flock,
       true},
  };
  int n = 0;
  for (const auto& c : cases) {
    for (const bool refuse_tmpfile : {false, true}) {
      if (c.in_place && refuse_tmpfile) continue;  // makes no new file
      const std::string name =
          std::string(c.name) + (refuse_tmpfile ? ", named" : "");
      const std::string dir = "d" + std::to_string(n++);
      fs::create_directory(Path(dir));
      const std::string file = Path(dir + "/fw.hex");
      const fs::perms writable =
          fs::perms::all & ~(fs::perms::owner_exec | fs::perms::group_exec |
                             fs::perms::others_exec);
      if (c.exists) {
        Write(dir + "/fw.hex", "old\n");
        fs::permissions(file, writable);
      }
      const std::string swapped = Write(dir + "/swapped.hex", "swapped\n");
      fs::permissions(swapped, writable);
      const std::string real_file = fs::weakly_canonical(file).string();
      if (c.in_place) {
        fs::permissions(Path(dir), fs::perms::owner_read |
                                       fs::perms::owner_exec |
                                       fs::perms::others_read |
                                       fs::perms::others_exec);
      }
      bool done = false;
      ProcessOptions options = unprivileged;
      options.drop_root = c.in_place;
      options.refuse_tmpfile = refuse_tmpfile;
      options.hold_at = c.call;
      options.on_hold = [&](pid_t pid, int) {
        if (done) return;
        bool opened = !c.exists;
        const fs::path fds = "/proc/" + std::to_string(pid) + "/fd";
        for (const auto& fd : fs::directory_iterator(fds)) {
          opened = opened || fs::read_symlink(fd.path()).string() == real_file;
        }
        if (!opened) return;
        fs::permissions(Path(dir), fs::perms::all);
        done = rename(swapped.c_str(), file.c_str()) == 0;
        if (c.in_place) {
          fs::permissions(Path(dir), fs::perms::owner_read |
                                         fs::perms::owner_exec |
                                         fs::perms::others_read |
                                         fs::perms::others_exec);
        }
      };
      const ProcessResult result = RunProcess(
          PatchCommand("./hexpoke", "in.hex", dir + "/fw.hex", "0", "22"),
          options);
      // A build that replaces no file rewrites the one that would be
      // replaced, and its sync comes after the run's last look at the name:
      // the file is swapped once the rewrite is complete, and the run
      // succeeds.
      const bool succeeds =
          c.written || (c.exists && !c.in_place && !kReplacesExistingFiles);
      EXPECT_TRUE(done) << name;
      EXPECT_EQ(result.out, succeeds ? "" : "Error : File not written\n")
          << name;
      EXPECT_EQ(result.exit_code, succeeds ? 0 : 127) << name;
      EXPECT_EQ(Read(file), c.written ? kTwoRecordsPatched : "swapped\n")
          << name;
      fs::permissions(Path(dir), fs::perms::all);
      EXPECT_EQ(Listing(Path(dir)), std::vector<std::string>{"fw.hex"})
          << name;
    }
  }
}

// A signal that ends a process, any that may come from outside it, while
// the file is written ends the run as the signal would and leaves no
// temporary file: before the rename the old file stays, or a new name
// stays nothing; after it (the directory's sync) the new one is whole. One
// that the caller ignores stays ignored. The child is held in the named
// system call until the signal has been sent, so each case is sure to have
// been caught mid-write. A file rewritten in place (by a build that
// replaces no file) is whole again before the signal, held meanwhile, ends
// the run; such a rewrite makes no chmod and syncs no directory.
TEST_F(EndToEnd, ASignalMidWriteLeavesNoTemporaryFile) {
  if (NoFilterHere() != nullptr) GTEST_SKIP() << NoFilterHere();
  const std::string file = Write("firmware.hex", kTwoRecords);
  const std::string new_file = Path("new.hex");
  const char kSync[] = "at the new file's sync";
  const struct {
    const char* when;
    long call;
    int nth;
    int signal_number;
    bool replaced;  // the new text has taken the output's name
    bool ignored = false;
    bool new_name = false;  // the output is new.hex, not the input
  } cases[] = {
      {"before the permissions are carried over", SYS_fchmod, 0, SIGTERM,
       false},
      {kSync, SYS_fsync, 0, SIGHUP, false},
      {"at the directory's sync, after the rename", SYS_fsync, 1, SIGINT,
       true},
      {kSync, SYS_fsync, 0, SIGQUIT, false},
      {kSync, SYS_fsync, 0, SIGABRT, false},
      {kSync, SYS_fsync, 0, SIGPIPE, false},
      {kSync, SYS_fsync, 0, SIGALRM, false},
      {kSync, SYS_fsync, 0, SIGUSR1, false},
      {kSync, SYS_fsync, 0, SIGUSR2, false},
      {kSync, SYS_fsync, 0, SIGXCPU, false},
      {kSync, SYS_fsync, 0, SIGVTALRM, false},
      {kSync, SYS_fsync, 0, SIGPROF, false},
      {kSync, SYS_fsync, 0, SIGPOLL, false},
      {kSync, SYS_fsync, 0, SIGSYS, false},
      {kSync, SYS_fsync, 0, SIGRTMIN, false},
      {kSync, SYS_fsync, 0, SIGRTMAX, false},
      {"at the new file's sync, ignored by the caller", SYS_fsync, 0, SIGUSR1,
       true, true},
      {"a new name, at the new file's sync", SYS_fsync, 0, SIGTERM, false,
       false, true},
      {"a new name, at the directory's sync, after the rename", SYS_fsync, 1,
       SIGINT, true, false, true},
      // Nothing can remove the named new file then: the next run does.
      {"killed at the new file's sync", SYS_fsync, 0, SIGKILL, false},
      {"a new name, killed at the new file's sync", SYS_fsync, 0, SIGKILL,
       false, false, true},
  };
  for (const auto& c : cases) {
    const std::string row =
        std::string(c.when) + ", " + strsignal(c.signal_number);
    const bool in_place = !c.new_name && !kReplacesExistingFiles;
    const bool call_made = !in_place || (c.call == SYS_fsync && c.nth == 0);
    if (!BuildRuns(call_made, row, kRewritesInPlace)) continue;
    for (const bool refuse_tmpfile : {false, true}) {
      Write("firmware.hex", kTwoRecords);
      bool sent = false;
      ProcessOptions options;
      options.refuse_tmpfile = refuse_tmpfile;
      options.hold_at = c.call;
      if (c.ignored) options.ignored_signals = {c.signal_number};
      options.on_hold = [&](pid_t pid, int nth) {
        if (nth == c.nth) sent = kill(pid, c.signal_number) == 0;
      };
      const std::string out = c.new_name ? new_file : file;
      const ProcessResult result =
          Hexpoke(PatchArgs(file, out, "0", "22"), options);
      const std::string name = row + (refuse_tmpfile ? ", named" : "");
      EXPECT_TRUE(sent) << name;
      EXPECT_EQ(result.signal, c.ignored ? 0 : c.signal_number) << name;
      EXPECT_EQ(result.exit_code, c.ignored ? 0 : -1) << name;
      EXPECT_EQ(result.out, "") << name;
      const bool patched = c.replaced || in_place;
      EXPECT_EQ(Read(file), patched && !c.new_name ? kTwoRecordsPatched
                                                   : kTwoRecords)
          << name;
      std::vector<std::string> listing = {"firmware.hex"};
      if (c.new_name && patched) {
        EXPECT_EQ(Read(new_file), kTwoRecordsPatched) << name;
        listing.push_back("new.hex");
      }
      const std::string left = c.new_name ? ".new.hex.hexpoke.tmp"
                                          : ".firmware.hex.hexpoke.tmp";
      if (c.signal_number == SIGKILL && !in_place &&
          (refuse_tmpfile || !kMakesUnnamedFiles)) {
        listing.insert(listing.begin(), left);
      }
      EXPECT_EQ(Listing(), listing) << name;
      if (c.signal_number == SIGKILL) {
        const ProcessResult next = Hexpoke(PatchArgs(file, out, "0", "22"));
        EXPECT_EQ(next.exit_code, 0) << name << ", the next run";
        EXPECT_EQ(Read(out), kTwoRecordsPatched) << name << ", the next run";
        EXPECT_EQ(fs::exists(Path(left)), false) << name << ", the next run";
      }
      fs::remove(new_file);
    }
  }
}

}  // namespace

}  // namespace hexpoke
