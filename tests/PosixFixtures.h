// SPDX-License-Identifier: MIT
// What the end-to-end tests of POSIX output paths set up around a run:
// private mounts, loop devices, a lease held elsewhere, append-only
// directories and the kernel's fs.protected_* settings, each undone when
// its test ends; and the small helpers those tests share. Linux only:
// tests/CMakeLists.txt builds the sources that include it on Linux alone.

#ifndef HEXPOKE_TESTS_POSIX_FIXTURES_H_
#define HEXPOKE_TESTS_POSIX_FIXTURES_H_

#include <gtest/gtest.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/loop.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ProcessRunner.h"

namespace hexpoke {

namespace fs = std::filesystem;

// Mounts made for a test, in a mount namespace that the test process makes
// for itself the first time (nothing propagates from it to the rest of the
// machine), so that no other process sees them and they go with the
// process however it ends. Those made through one of these are undone
// when it is destroyed.
class PrivateMounts {
 public:
  PrivateMounts() = default;
  PrivateMounts(const PrivateMounts&) = delete;
  PrivateMounts& operator=(const PrivateMounts&) = delete;
  ~PrivateMounts() {
    for (auto at = made_.rbegin(); at != made_.rend(); ++at) {
      umount2(at->c_str(), MNT_DETACH);
    }
  }

  // False where the test may make no mount namespace (not root, or a
  // container that forbids it).
  static bool Possible() {
    static const bool entered =
        unshare(CLONE_NEWNS) == 0 &&
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    return entered;
  }

  // `from` seen at `to` as well, read-only if asked.
  bool Bind(const std::string& from, const std::string& to,
            bool read_only = false) {
    if (!Possible() ||
        mount(from.c_str(), to.c_str(), nullptr, MS_BIND, nullptr) != 0) {
      return false;
    }
    made_.push_back(to);
    return !read_only || mount(nullptr, to.c_str(), nullptr,
                               MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
  }

  // A tmpfs at `at`, with mount options such as "size=256k".
  bool Tmpfs(const std::string& at, const std::string& options) {
    if (!Possible() ||
        mount("tmpfs", at.c_str(), "tmpfs", 0, options.c_str()) != 0) {
      return false;
    }
    made_.push_back(at);
    return true;
  }

 private:
  std::vector<std::string> made_;
};

// A loop device over the file `backing`, for a test. The device lets go of
// the file as soon as nothing holds it open (LO_FLAGS_AUTOCLEAR), and this
// holds it open until destroyed, so that the device goes with the test
// however that ends.
class LoopDevice {
 public:
  explicit LoopDevice(const std::string& backing) {
#ifdef LOOP_CONFIGURE
    const int control = open("/dev/loop-control", O_RDWR | O_CLOEXEC);
    const int file = open(backing.c_str(), O_RDWR | O_CLOEXEC);
    // Another program may take the free device first.
    for (int attempt = 0; attempt < 10 && control >= 0 && file >= 0 &&
                          fd_ < 0;
         ++attempt) {
      const int number = ioctl(control, LOOP_CTL_GET_FREE);
      const std::string path = "/dev/loop" + std::to_string(number);
      const int device =
          number < 0 ? -1 : open(path.c_str(), O_RDWR | O_CLOEXEC);
      if (device < 0) break;
      loop_config config{};
      config.fd = static_cast<std::uint32_t>(file);
      config.info.lo_flags = LO_FLAGS_AUTOCLEAR;
      if (ioctl(device, LOOP_CONFIGURE, &config) == 0) {
        fd_ = device;
        path_ = path;
        break;
      }
      close(device);
      if (errno != EBUSY) break;
    }
    if (file >= 0) close(file);
    if (control >= 0) close(control);
#else
    (void)backing;
#endif
  }
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;
  ~LoopDevice() {
    if (fd_ >= 0) close(fd_);
  }

  // The device, or "" where none could be made.
  const std::string& path() const { return path_; }

 private:
  int fd_ = -1;
  std::string path_;
};

// A process that holds a read lease on a file, as a file server holds one
// for a client (Samba's oplocks, NFS delegations), until the kernel asks
// for it back (SIGIO: another process opens the file to write it), and
// then gives it up, or after 10 s, ends.
class LeaseHolder {
 public:
  explicit LeaseHolder(const std::string& file) {
    int ready[2];
    if (pipe(ready) != 0) return;
    sigset_t io;
    sigemptyset(&io);
    sigaddset(&io, SIGIO);
    sigset_t saved;
    sigprocmask(SIG_BLOCK, &io, &saved);
    pid_ = fork();
    if (pid_ == 0) {
      const int fd = open(file.c_str(), O_RDONLY);
      const char leased =
          fd >= 0 && fcntl(fd, F_SETLEASE, F_RDLCK) == 0 ? '1' : '0';
      if (write(ready[1], &leased, 1) != 1 || leased != '1') _exit(1);
      const timespec at_most = {10, 0};
      if (sigtimedwait(&io, nullptr, &at_most) != SIGIO) _exit(2);
      _exit(fcntl(fd, F_SETLEASE, F_UNLCK) == 0 ? 0 : 3);
    }
    sigprocmask(SIG_SETMASK, &saved, nullptr);
    close(ready[1]);
    char leased = '0';
    held_ = pid_ > 0 && read(ready[0], &leased, 1) == 1 && leased == '1';
    close(ready[0]);
  }
  LeaseHolder(const LeaseHolder&) = delete;
  LeaseHolder& operator=(const LeaseHolder&) = delete;
  ~LeaseHolder() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  // False where there are no leases (fs.leases-enable, the file system).
  bool held() const { return held_; }

  // Waits for the holder to end: whether it was asked to give the lease up
  // and did.
  bool GaveUp() {
    int status = 0;
    const bool ended = pid_ > 0 && waitpid(pid_, &status, 0) == pid_;
    pid_ = -1;
    return ended && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

 private:
  pid_t pid_ = -1;
  bool held_ = false;
};

// Directories made append-only (chattr +a) for a test, made ordinary again
// when it ends, so that they can be removed.
class AppendOnlyDirectories {
 public:
  AppendOnlyDirectories() = default;
  AppendOnlyDirectories(const AppendOnlyDirectories&) = delete;
  AppendOnlyDirectories& operator=(const AppendOnlyDirectories&) = delete;
  ~AppendOnlyDirectories() {
    for (const std::string& dir : dirs_) SetAppendOnly(dir, false);
  }

  // False where the file system or the user cannot.
  bool Add(const std::string& dir) {
    if (!SetAppendOnly(dir, true)) return false;
    dirs_.push_back(dir);
    return true;
  }

 private:
  static bool SetAppendOnly(const std::string& dir, bool on) {
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int flags = 0;
    bool done = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? flags | FS_APPEND_FL : flags & ~FS_APPEND_FL;
    done = done && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    if (fd >= 0) close(fd);
    return done;
  }

  std::vector<std::string> dirs_;
};

// Sets fs.protected_symlinks, protected_regular and protected_fifos for a
// test, and puts back what they were when it ends.
class ProtectedFilesSettings {
 public:
  ProtectedFilesSettings() {
    for (const char* name : kNames) {
      std::ifstream in(name);
      std::string value;
      in >> value;
      saved_.push_back(value);
    }
  }
  ProtectedFilesSettings(const ProtectedFilesSettings&) = delete;
  ProtectedFilesSettings& operator=(const ProtectedFilesSettings&) = delete;
  ~ProtectedFilesSettings() {
    for (std::size_t i = 0; i < saved_.size(); ++i) {
      if (!saved_[i].empty()) WriteSetting(kNames[i], saved_[i]);
    }
  }

  // False where they cannot be set: not root, a read-only /proc/sys.
  bool Set(int symlinks, int regular, int fifos) const {
    return WriteSetting(kNames[0], std::to_string(symlinks)) &&
           WriteSetting(kNames[1], std::to_string(regular)) &&
           WriteSetting(kNames[2], std::to_string(fifos));
  }

 private:
  static bool WriteSetting(const char* name, const std::string& value) {
    std::ofstream out(name);
    out << value << '\n';
    out.close();
    return !out.fail();
  }

  static constexpr const char* kNames[] = {"/proc/sys/fs/protected_symlinks",
                                           "/proc/sys/fs/protected_regular",
                                           "/proc/sys/fs/protected_fifos"};
  std::vector<std::string> saved_;
};

// Makes directories nested under `base`/chain so deep that the path to a
// link at their bottom is `length` bytes long, relative to `base`, and
// returns that path. The link leads to `target`, relative to `base`, by
// climbing back up: it is made long too (some 160 bytes), so that a path
// made by putting it in the link's place passes PATH_MAX.
inline std::string LongPathTo(const fs::path& base, std::size_t length,
                              const std::string& target) {
  std::string path = "chain";
  int at = open(base.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  std::string climb;
  for (std::string name = path; !name.empty();) {
    EXPECT_EQ(mkdirat(at, name.c_str(), 0755), 0) << name;
    const int next = openat(at, name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    close(at);
    at = next;
    climb += "../";
    // Each name of 250 bytes but the last, which brings the path, with
    // "/l" after it, to `length`.
    const std::size_t room = length - path.size() - 2;
    name = room == 0 ? "" : std::string(room > 253 ? 250 : room - 1, 'd');
    if (!name.empty()) path += "/" + name;
  }
  std::string dots;
  for (int i = 0; i < 50; ++i) dots += "./";
  EXPECT_EQ(symlinkat((dots + climb + target).c_str(), at, "l"), 0);
  close(at);
  return path + "/l";
}

// What a shell's redirection `cat IN > OUT` gives, run as `options` say:
// the host's shell, not hexpoke's emulator.
inline ProcessResult Redirect(const std::string& in, const std::string& out,
                              ProcessOptions options = {}) {
  options.host_program = true;
  return RunProcess({"/bin/sh", "-c", "cat \"$0\" > \"$1\"", in, out},
                    options);
}

// Whether /proc/locks shows a process waiting for a lock on the file with
// inode `inode` ("N: -> OFDLCK ADVISORY WRITE -1 MAJ:MIN:INODE 0 EOF").
inline bool SomeoneWaitsToLock(ino_t inode) {
  std::ifstream locks("/proc/locks");
  const std::string file = ":" + std::to_string(inode) + " ";
  std::string line;
  while (std::getline(locks, line)) {
    if (line.find("->") != std::string::npos &&
        line.find(file) != std::string::npos) {
      return true;
    }
  }
  return false;
}

inline bool SameStatus(const struct stat& one, const struct stat& other) {
  return one.st_ino == other.st_ino && one.st_mode == other.st_mode &&
         one.st_uid == other.st_uid && one.st_size == other.st_size &&
         one.st_mtim.tv_sec == other.st_mtim.tv_sec &&
         one.st_mtim.tv_nsec == other.st_mtim.tv_nsec;
}

// The ACL of `path` as getfacl prints it, numeric ids, without the header.
inline std::string Acl(const std::string& path) {
  const std::string command = "getfacl -n -p --omit-header '" + path + "'";
  std::FILE* pipe = popen(command.c_str(), "r");
  std::string text;
  char buffer[256];
  while (pipe != nullptr && std::fgets(buffer, sizeof buffer, pipe)) {
    text += buffer;
  }
  EXPECT_TRUE(pipe != nullptr && pclose(pipe) == 0) << command;
  return text;
}

}  // namespace hexpoke

#endif  // HEXPOKE_TESTS_POSIX_FIXTURES_H_
