// SPDX-License-Identifier: MIT
#ifndef HEXPOKE_TESTS_PROCESS_RUNNER_H_
#define HEXPOKE_TESTS_PROCESS_RUNNER_H_

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

// What a finished child process left behind.
struct ProcessResult {
  std::string out;   // everything in the file its standard output went to
  std::string err;   // everything it wrote to standard error
  int exit_code = -1;   // -1 if it was killed by a signal
  int signal = 0;       // the signal that killed it, or 0
};

struct ProcessOptions {
  // Largest file the child may write, in bytes (RLIMIT_FSIZE); 0 for none.
  long file_size_limit = 0;
  // When run as root, runs the child as the unprivileged user "nobody",
  // with no supplementary groups, so that file permissions bind it.
  bool drop_root = false;
  // The directory the child starts in, entered before root is dropped, so
  // that relative paths reach it whatever the directories above allow.
  std::string working_directory;
  // Standard output is a file that already holds `stdout_before`, opened
  // for appending as the shell's >> opens it. Otherwise it is a new file.
  bool stdout_appends = false;
  std::string stdout_before;
  // O_TMPFILE fails (EOPNOTSUPP), as on a file system that lacks it. This
  // and hold_at set a seccomp filter on the child: Linux only; elsewhere
  // they throw std::logic_error.
  bool refuse_tmpfile = false;
  // Every time the child makes the system call numbered `hold_at` (SYS_...),
  // it is held inside it while on_hold(pid, n) runs, n counting from 0.
  long hold_at = -1;
  std::function<void(pid_t, int)> on_hold;
  // The child starts with every signal at its default action but these,
  // which it ignores, as a caller such as nohup leaves them.
  std::vector<int> ignored_signals;
  // args[0] is a program of the machine the tests run on (unshare, say),
  // started as it is, not through the emulator.
  bool host_program = false;
  // SIGALRM ends the child after this many seconds, if it has not ended;
  // 0 for never. For runs that would otherwise hang the test.
  unsigned alarm_seconds = 0;
};

// Runs `args[0]` with the arguments `args`, standard input from /dev/null,
// and waits for it. Its output is captured in files under $TMPDIR.
//
// On Windows (ProcessRunnerWindows.cpp) the arguments are UTF-8, standard
// input is NUL, the child has no console, and working_directory is the only
// option: the others are POSIX only, and throw std::logic_error.
ProcessResult RunProcess(const std::vector<std::string>& args,
                         const ProcessOptions& options = {});

// Runs every command in `commands` at once, each as RunProcess runs one,
// and waits for them all; the results come in the order of the commands.
// hold_at must be -1.
std::vector<ProcessResult> RunAtOnce(
    const std::vector<std::vector<std::string>>& commands,
    const ProcessOptions& options = {});

// What runs a program built with the tests: for a cross-built hexpoke the
// emulator (qemu-user) and its arguments, which RunProcess puts before
// args; nothing where the tests run natively. Under an emulator the child
// process is the emulator, which makes system calls of its own for the
// program's, and no system-call filter can be set on it: refuse_tmpfile and
// hold_at throw std::logic_error. POSIX only.
std::vector<std::string> EmulatorCommand();

// A child started by StartProcess, to be waited for with WaitForProcess.
struct StartedProcess {
  pid_t pid = -1;
  int out_fd = -1;
  int err_fd = -1;
  std::string out_path;
  std::string err_path;
};

// RunProcess in two halves, for a child that runs while another is held.
// POSIX only; hold_at must be -1.
StartedProcess StartProcess(const std::vector<std::string>& args,
                            const ProcessOptions& options = {});
ProcessResult WaitForProcess(StartedProcess& process);

#endif  // HEXPOKE_TESTS_PROCESS_RUNNER_H_
