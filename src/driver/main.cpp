#include <iostream>
#include <string>
#include <vector>

#include "driver/Env.h"
#include "driver/Run.h"

int main(int argc, char* argv[]) {
  hexpoke::Env* env = hexpoke::Env::Default();
  env->InitProcess();
  const std::vector<std::string> arguments = env->Arguments(argc, argv);
  std::vector<const char*> pointers;
  for (const std::string& argument : arguments) {
    pointers.push_back(argument.c_str());
  }
  pointers.push_back(nullptr);
  return hexpoke::RunHexpoke(static_cast<int>(arguments.size()),
                             pointers.data(), std::cout);
}
