// SPDX-License-Identifier: MIT
#ifndef HEXPOKE_DRIVER_RUN_H_
#define HEXPOKE_DRIVER_RUN_H_

#include <ostream>

namespace hexpoke {

// One whole run of hexpoke on the command line `argv` (argv[0] is the
// program's path): load the input file, patch the value in at the address,
// write the output file. Every message, the usage text included, goes to
// `out`. Returns the exit code:
//   0    usage text, "Wrong walue", or a completed run (which prints nothing)
//   127  a standard exception ended the run: "Error : <what()>"
//   126  a Util::ErrorMsg ended the run: "Error : <message>"
//   128  anything else ended the run, silently
int RunHexpoke(int argc, const char* const argv[], std::ostream& out);

}  // namespace hexpoke

#endif  // HEXPOKE_DRIVER_RUN_H_
