#include <iostream>

#include "driver/Run.h"

int main(int argc, char* argv[]) { return RunHexpoke(argc, argv, std::cout); }
