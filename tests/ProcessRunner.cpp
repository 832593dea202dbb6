// SPDX-License-Identifier: MIT
#include "ProcessRunner.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
// The system-call filter (refuse_tmpfile, hold_at) is seccomp's.
#ifdef __linux__
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#endif

#include <cstddef>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>

namespace {

#ifdef __linux__
#if defined(__x86_64__)
constexpr unsigned kArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr unsigned kArch = AUDIT_ARCH_AARCH64;
#elif defined(__arm__) && !defined(__ARMEB__)
constexpr unsigned kArch = AUDIT_ARCH_ARM;
#elif defined(__s390x__)
constexpr unsigned kArch = AUDIT_ARCH_S390X;
#else
#error "no seccomp architecture for this machine"
#endif
#endif

// Reads through the descriptor the child wrote to, not by name, so that a
// child that replaced the file instead of writing to it is caught.
std::string ReadAndClose(int fd, const std::string& path) {
  std::string text;
  lseek(fd, 0, SEEK_SET);
  char buffer[4096];
  ssize_t count;
  while ((count = read(fd, buffer, sizeof buffer)) > 0) {
    text.append(buffer, static_cast<std::size_t>(count));
  }
  close(fd);
  std::remove(path.c_str());
  return text;
}

int TemporaryFile(std::string& path) {
  const char* tmpdir = std::getenv("TMPDIR");
  path = std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") +
         "/hexpoke-capture-XXXXXX";
  const int fd = mkstemp(path.data());
  if (fd < 0) throw std::runtime_error("mkstemp failed in " + path);
  return fd;
}

#ifdef __linux__
// In the child: the system-call filter that refuses O_TMPFILE and holds
// the child at `hold_at`. Returns the descriptor on which the held calls
// are reported, or -1 if none are held.
int InstallFilter(const ProcessOptions& options) {
  // openat's flags are its third argument; the low 32 bits come first.
  const unsigned tmpfile_flag = O_TMPFILE & ~O_DIRECTORY;
  const auto hold = static_cast<unsigned>(options.hold_at);
  const auto refused = options.refuse_tmpfile ? unsigned{SYS_openat} : ~0u;
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kArch, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, hold, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_USER_NOTIF),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, refused, 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2])),
      BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, tmpfile_flag, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EOPNOTSUPP),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program = {static_cast<unsigned short>(std::size(filter)),
                        filter};
  const unsigned long flags =
      options.hold_at >= 0 ? SECCOMP_FILTER_FLAG_NEW_LISTENER : 0;
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) _exit(123);
  const long listener =
      syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, flags, &program);
  if (listener < 0) _exit(123);
  return options.hold_at >= 0 ? static_cast<int>(listener) : -1;
}

void SendDescriptor(int socket, int fd) {
  char byte = 0;
  iovec data = {&byte, 1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr message = {};
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  cmsghdr* header = CMSG_FIRSTHDR(&message);
  header->cmsg_level = SOL_SOCKET;
  header->cmsg_type = SCM_RIGHTS;
  header->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
  if (sendmsg(socket, &message, 0) != 1) _exit(123);
}

int ReceiveDescriptor(int socket) {
  char byte = 0;
  iovec data = {&byte, 1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr message = {};
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  if (recvmsg(socket, &message, 0) != 1) return -1;
  const cmsghdr* header = CMSG_FIRSTHDR(&message);
  if (header == nullptr || header->cmsg_type != SCM_RIGHTS) return -1;
  int fd = -1;
  std::memcpy(&fd, CMSG_DATA(header), sizeof fd);
  return fd;
}

// Lets the child on through every held call, calling on_hold first, until
// it ends.
void ServeHolds(int listener, pid_t pid, const ProcessOptions& options) {
  const int child = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (child < 0) throw std::runtime_error("pidfd_open failed");
  for (int held = 0;;) {
    pollfd ready[] = {{listener, POLLIN, 0}, {child, POLLIN, 0}};
    if (poll(ready, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if ((ready[0].revents & POLLIN) == 0) break;  // the child has ended
    seccomp_notif call = {};
    if (ioctl(listener, SECCOMP_IOCTL_NOTIF_RECV, &call) != 0) continue;
    if (options.on_hold) options.on_hold(pid, held++);
    seccomp_notif_resp response = {};
    response.id = call.id;
    response.flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;
    // Fails if a signal has taken the child out of the call meanwhile.
    ioctl(listener, SECCOMP_IOCTL_NOTIF_SEND, &response);
  }
  close(child);
}
#endif

// Starts the child; `listener` gets the descriptor on which its held calls
// are reported, or -1.
StartedProcess Start(const std::vector<std::string>& args,
                     const ProcessOptions& options, int& listener) {
  StartedProcess process;
  process.out_fd = TemporaryFile(process.out_path);
  process.err_fd = TemporaryFile(process.err_path);
  listener = -1;
  if (!options.stdout_before.empty() &&
      write(process.out_fd, options.stdout_before.data(),
            options.stdout_before.size()) < 0) {
    throw std::runtime_error("cannot write " + process.out_path);
  }
  const bool filtered = options.refuse_tmpfile || options.hold_at >= 0;
  if (filtered && !EmulatorCommand().empty()) {
    throw std::logic_error("no system-call filter under an emulator");
  }
#ifdef __linux__
  int sockets[2] = {-1, -1};
  if (filtered && socketpair(AF_UNIX, SOCK_STREAM, 0, sockets) != 0) {
    throw std::runtime_error("socketpair failed");
  }
#else
  if (filtered) throw std::logic_error("no system-call filter but seccomp");
#endif

  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    // A child gets signals as a fresh process does, whatever the test
    // runner ignores or blocks, but for those it is to ignore.
    for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
      if (signal_number != SIGKILL && signal_number != SIGSTOP) {
        signal(signal_number, SIG_DFL);
      }
    }
    for (const int signal_number : options.ignored_signals) {
      signal(signal_number, SIG_IGN);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // No core files from the signals that would leave them.
    const rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    const int null_fd = open("/dev/null", O_RDONLY);
    dup2(null_fd, 0);
    if (options.stdout_appends) {
      const int append_fd = open(process.out_path.c_str(), O_WRONLY | O_APPEND);
      if (append_fd < 0) _exit(122);
      dup2(append_fd, 1);
    } else {
      dup2(process.out_fd, 1);
    }
    dup2(process.err_fd, 2);
    if (!options.working_directory.empty() &&
        chdir(options.working_directory.c_str()) != 0) {
      _exit(122);
    }
    if (options.file_size_limit > 0) {
      const rlimit limit = {static_cast<rlim_t>(options.file_size_limit),
                            static_cast<rlim_t>(options.file_size_limit)};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (options.drop_root && geteuid() == 0) {
      constexpr uid_t kNobody = 65534;
      if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 ||
          setuid(kNobody) != 0) {
        _exit(124);
      }
    }
#ifdef __linux__
    if (filtered) {
      const int held = InstallFilter(options);
      if (held >= 0) {
        SendDescriptor(sockets[1], held);
        close(held);
      }
      close(sockets[0]);
      close(sockets[1]);
    }
#endif
    std::vector<std::string> command;
    if (!options.host_program) command = EmulatorCommand();
    command.insert(command.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (const std::string& arg : command) {
      argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    // A pending alarm survives exec.
    if (options.alarm_seconds > 0) alarm(options.alarm_seconds);
    execv(argv[0], argv.data());
    _exit(125);
  }
  process.pid = pid;
#ifdef __linux__
  if (filtered) {
    close(sockets[1]);
    if (options.hold_at >= 0) listener = ReceiveDescriptor(sockets[0]);
    close(sockets[0]);
  }
#endif
  return process;
}

}  // namespace

// HEXPOKE_EMULATOR holds the command one argument a line.
std::vector<std::string> EmulatorCommand() {
  std::vector<std::string> command;
#ifdef HEXPOKE_EMULATOR
  std::istringstream lines(HEXPOKE_EMULATOR);
  for (std::string line; std::getline(lines, line);) command.push_back(line);
#endif
  return command;
}

StartedProcess StartProcess(const std::vector<std::string>& args,
                            const ProcessOptions& options) {
  if (options.hold_at >= 0) {
    throw std::logic_error("StartProcess cannot hold the child");
  }
  int listener = -1;
  return Start(args, options, listener);
}

ProcessResult WaitForProcess(StartedProcess& process) {
  int status = 0;
  waitpid(process.pid, &status, 0);
  ProcessResult result;
  result.out = ReadAndClose(process.out_fd, process.out_path);
  result.err = ReadAndClose(process.err_fd, process.err_path);
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  process = {};
  return result;
}

ProcessResult RunProcess(const std::vector<std::string>& args,
                         const ProcessOptions& options) {
  int listener = -1;
  StartedProcess process = Start(args, options, listener);
#ifdef __linux__
  if (listener >= 0) {
    ServeHolds(listener, process.pid, options);
    close(listener);
  }
#endif
  return WaitForProcess(process);
}

std::vector<ProcessResult> RunAtOnce(
    const std::vector<std::vector<std::string>>& commands,
    const ProcessOptions& options) {
  std::vector<StartedProcess> started;
  started.reserve(commands.size());
  for (const auto& args : commands) started.push_back(StartProcess(args, options));
  std::vector<ProcessResult> results;
  results.reserve(commands.size());
  for (StartedProcess& process : started) results.push_back(WaitForProcess(process));
  return results;
}
