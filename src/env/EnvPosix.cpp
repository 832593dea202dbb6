// SPDX-License-Identifier: MIT
// The Env for POSIX systems, Linux in the first place: the process's
// signals, the input, and the run's lock; output files are in
// PosixOutput.cpp.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <ios>
#include <istream>
#include <memory>
#include <streambuf>
#include <string>
#include <utility>
#include <vector>

#include "env/Env.h"
#include "env/PosixFiles.h"

namespace hexpoke {

namespace posix {

namespace {

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

// The highest signal number there is: the last real-time signal, which on
// some systems (FreeBSD) lies past NSIG.
int LastSignal() {
#ifdef SIGRTMAX
  return std::max(NSIG - 1, static_cast<int>(SIGRTMAX));
#else
  return NSIG - 1;
#endif
}

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
    for (int signal_number = 1; signal_number <= LastSignal();
         ++signal_number) {
      if (sigismember(&signals, signal_number) != 1) continue;
      struct sigaction previous {};
      if (sigaction(signal_number, &action, &previous) != 0) continue;
      // One that the caller ignores stays ignored, as nohup leaves SIGHUP;
      // one that a sanitizer handles is left to it.
      if ((previous.sa_flags & SA_SIGINFO) != 0 ||
          previous.sa_handler != SIG_DFL) {
        sigaction(signal_number, &previous, nullptr);
      }
    }
  }

  std::vector<std::string> Arguments(int argc, char* argv[]) override {
    return std::vector<std::string>(argv, argv + argc);
  }

  std::unique_ptr<FileLock> LockForUpdate(const std::string& input,
                                          const std::string& output) override {
    if (input.empty() || output.empty()) return nullptr;
    // The usual in-place patch names the file the same way twice.
    const bool one_name = input == output;
    const auto leads_to = [&input](const struct stat& file) {
      struct stat read {};
      return stat(input.c_str(), &read) == 0 && SameFile(read, file);
    };
    // Opened for writing, which an exclusive lock needs, but neither to
    // truncate nor to create: nothing changes here, and the output is
    // opened as the kernel allows when it is written. The input is looked
    // at while the file is open, so that a file system whose inode numbers
    // change once nothing holds the file (FUSE) gives it the same number.
    NamedFile named(output, true, [&](Descriptor& fd, struct stat& status) {
      fd = Descriptor(OpenWithStatus(
          output, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK, status));
      if (fd.get() < 0) {
        return errno == ENOENT ? Opened::kNothing : Opened::kNotWanted;
      }
      return S_ISREG(status.st_mode) && (one_name || leads_to(status))
                 ? Opened::kFile
                 : Opened::kNotWanted;
    });
    if (LockNamed(named) != Locked::kLocked ||
        (!one_name && !leads_to(named.status()))) {
      return nullptr;
    }
    return std::make_unique<PosixFileLock>(std::move(named.fd()),
                                           named.status());
  }

  std::unique_ptr<std::istream> OpenInput(const std::string& path,
                                          const FileLock* lock) override {
    // Every FileLock of this Env is a PosixFileLock.
    if (lock != nullptr) {
      return std::make_unique<DescriptorInput>(
          static_cast<const PosixFileLock*>(lock)->fd());
    }
    // What is not a regular file (a FIFO, a directory) is read unlocked.
    NamedFile named(path, false, [&path](Descriptor& fd, struct stat& status) {
      fd = Descriptor(
          OpenWithStatus(path, O_RDONLY | O_NOCTTY | O_CLOEXEC, status));
      if (fd.get() < 0) {
        return errno == ENOENT ? Opened::kNothing : Opened::kError;
      }
      return S_ISREG(status.st_mode) ? Opened::kFile : Opened::kNotWanted;
    });
    if (!LockToRead(named)) return nullptr;
    return std::make_unique<DescriptorInput>(std::move(named.fd()));
  }

  std::unique_ptr<OutputFile> OpenOutput(const std::string& path,
                                         std::unique_ptr<FileLock> lock,
                                         const TextLength& length,
                                         OpenFailure& failure) override {
    return OpenOutputFile(path, std::move(lock), length, failure);
  }
};

}  // namespace

SignalsHeld::SignalsHeld() {
  sigprocmask(SIG_BLOCK, &CleanUpSignals(), &saved_);
}

SignalsHeld::~SignalsHeld() {
  const int saved_errno = errno;
  sigprocmask(SIG_SETMASK, &saved_, nullptr);
  errno = saved_errno;
}

void NameTemporary(int dir, const std::string& name) {
  std::memcpy(g_temporary_name, name.c_str(), name.size() + 1);
  g_temporary_dir = dir;
  g_temporary_named = 1;
}

void ForgetTemporary() { g_temporary_named = 0; }

}  // namespace posix

Env* Env::Default() {
  static posix::PosixEnv env;
  return &env;
}

}  // namespace hexpoke
