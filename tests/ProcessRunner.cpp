#include "ProcessRunner.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace {

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
  char name[] = "/tmp/hexpoke-capture-XXXXXX";
  const int fd = mkstemp(name);
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  path = name;
  return fd;
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& args,
                         const ProcessLimits& limits) {
  std::string out_path, err_path;
  const int out_fd = TemporaryFile(out_path);
  const int err_fd = TemporaryFile(err_path);

  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int null_fd = open("/dev/null", O_RDONLY);
    dup2(null_fd, 0);
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    if (limits.file_size_limit > 0) {
      const rlimit limit = {static_cast<rlim_t>(limits.file_size_limit),
                            static_cast<rlim_t>(limits.file_size_limit)};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (limits.drop_root && geteuid() == 0) {
      constexpr uid_t kNobody = 65534;
      if (setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(124);
    }
    std::vector<char*> argv;
    for (const std::string& arg : args) {
      argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(125);
  }
  int status = 0;
  waitpid(pid, &status, 0);

  ProcessResult result;
  result.out = ReadAndClose(out_fd, out_path);
  result.err = ReadAndClose(err_fd, err_path);
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}
