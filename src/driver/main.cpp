// SPDX-License-Identifier: MIT
#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

#include "env/Env.h"
#include "driver/Run.h"

// On Windows, wmain: the command line in UTF-16 (see hexpoke::ArgumentChar).
#ifdef _WIN32
int wmain(int argc, wchar_t* argv[]) {
#else
int main(int argc, char* argv[]) {
#endif
  hexpoke::Env* env = hexpoke::Env::Default();
  env->InitProcess();
  // Standard output is only ever written through std::cout, so it needs no
  // agreement with C's stdio, and keeps a buffer of its own.
  std::ios::sync_with_stdio(false);
  const std::vector<std::string> arguments = env->Arguments(argc, argv);
  std::vector<const char*> pointers(arguments.size() + 1, nullptr);
  std::transform(arguments.begin(), arguments.end(), pointers.begin(),
                 [](const std::string& argument) { return argument.c_str(); });
  return hexpoke::RunHexpoke(static_cast<int>(arguments.size()),
                             pointers.data(), std::cout);
}
