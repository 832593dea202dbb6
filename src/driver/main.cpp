#include <csignal>
#include <iostream>

#include "driver/Run.h"

int main(int argc, char* argv[]) {
#ifdef SIGXFSZ
  // Past a file-size limit, let the write fail and be reported (and the
  // half-written temporary file removed) instead of being killed outright.
  std::signal(SIGXFSZ, SIG_IGN);
#endif
  return hexpoke::RunHexpoke(argc, argv, std::cout);
}
