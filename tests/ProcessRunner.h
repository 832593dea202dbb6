#ifndef HEXPOKE_TESTS_PROCESS_RUNNER_H_
#define HEXPOKE_TESTS_PROCESS_RUNNER_H_

#include <string>
#include <vector>

// What a finished child process left behind.
struct ProcessResult {
  std::string out;   // everything it wrote to standard output
  std::string err;   // everything it wrote to standard error
  int exit_code = -1;   // -1 if it was killed by a signal
  int signal = 0;       // the signal that killed it, or 0
};

struct ProcessLimits {
  // Largest file the child may write, in bytes (RLIMIT_FSIZE); 0 for none.
  long file_size_limit = 0;
  // When run as root, runs the child as the unprivileged user "nobody", so
  // that file permissions bind it.
  bool drop_root = false;
};

// Runs `args[0]` with the arguments `args`, standard input from /dev/null,
// and waits for it.
ProcessResult RunProcess(const std::vector<std::string>& args,
                         const ProcessLimits& limits = {});

#endif  // HEXPOKE_TESTS_PROCESS_RUNNER_H_
