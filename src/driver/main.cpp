#include <csignal>
#include <iostream>

#include "driver/Run.h"

int main(int argc, char* argv[]) {
#ifdef SIGXFSZ
  // Past a file-size limit, let the write fail and be reported (and the
  // half-written temporary file removed) instead of being killed outright.
  std::signal(SIGXFSZ, SIG_IGN);
#endif
  // Standard output is only ever written through std::cout, so it needs no
  // agreement with C's stdio, and keeps a buffer of its own.
  std::ios::sync_with_stdio(false);
  return hexpoke::RunHexpoke(argc, argv, std::cout);
}
