// Runs the built hexpoke and checks what a script sees: standard output,
// standard error (always empty), the exit code and the files left behind.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ProcessRunner.h"

namespace fs = std::filesystem;

namespace {

const char kUsage[] =
    "Allowed options:\n"
    "  -h [ --help ]         print usage message\n"
    "  -i [ --input ] arg    pathname for input\n"
    "  -o [ --output ] arg   pathname for output\n"
    "  -a [ --address ] arg  address\n"
    "  -v [ --value ] arg    value for write\n"
    "\n";
const char kBadAnyCast[] =
    "Error : boost::bad_any_cast: failed conversion using boost::any_cast\n";

// Two full data records (bytes 00..1F) and the end-of-file record.
const char kTwoRecords[] =
    ":10000000000102030405060708090A0B0C0D0E0F78\n"
    ":10001000101112131415161718191A1B1C1D1E1F68\n"
    ":00000001FF\n";

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern =
        (fs::temp_directory_path() / "hexpoke-e2e-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Path(const std::string& name) const {
    return (dir_ / name).string();
  }

  std::string Write(const std::string& name, const std::string& text) const {
    std::ofstream(Path(name), std::ios::binary) << text;
    return Path(name);
  }

  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

  static ProcessResult Hexpoke(std::vector<std::string> args,
                               const ProcessLimits& limits = {}) {
    args.insert(args.begin(), HEXPOKE_BINARY);
    return RunProcess(args, limits);
  }

  // Files in the test directory, to catch leftovers.
  std::vector<std::string> Listing() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path dir_;
};

struct CliCase {
  const char* name;
  std::vector<std::string> args;
  const char* out;
  int exit_code;
};

// Cases that need no files: the command line is judged before anything is
// opened, and help opens nothing even when the input does not exist.
TEST_F(EndToEnd, CommandLinesEndWithTheirExactTextAndCode) {
  const CliCase cases[] = {
      {"short help", {"-h"}, kUsage, 0},
      {"long help", {"--help"}, kUsage, 0},
      {"help with other options",
       {"-i", "/no/such/file", "-h", "-a", "5", "-v", "AA"}, kUsage, 0},
      {"help as a prefix", {"--he"}, kUsage, 0},
      {"no arguments", {}, kBadAnyCast, 127},
      {"undeclared option", {"--fill", "FF"},
       "Error : unrecognised option '--fill'\n", 127},
      {"missing value", {"-i"},
       "Error : the required argument for option '--input' is missing\n", 127},
      {"repeated option", {"-i", "a.hex", "-i", "b.hex"},
       "Error : option '--input' cannot be specified more than once\n", 127},
      {"hexadecimal address, even with help", {"-h", "-a", "0x100"},
       "Error : the argument ('0x100') for option '--address' is invalid\n",
       127},
      {"address beyond int", {"-a", "4294967296"},
       "Error : the argument ('4294967296') for option '--address' is "
       "invalid\n",
       127},
      {"missing input file", {"-i", "/no/such/file.hex"},
       "Error : File not opened\n", 127},
      {"directory as input", {"-i", "/"}, "Error : File not read\n", 127},
  };
  for (const CliCase& c : cases) {
    const ProcessResult result = Hexpoke(c.args);
    EXPECT_EQ(result.out, c.out) << c.name;
    EXPECT_EQ(result.err, "") << c.name;
    EXPECT_EQ(result.exit_code, c.exit_code) << c.name;
  }
}

}  // namespace
