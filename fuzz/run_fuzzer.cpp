// The whole run, in process: input file, value, address and output file
// come from the fuzzer's bytes, RunHexpoke does the job, and the outcome is
// checked. Either the run ends with one of the tool's own messages and exit
// codes and leaves the output file alone, or it writes a file that loads
// back to the input's image with the value written in.
//
// Input layout: 4 bytes of address (little-endian, any int), 1 byte n, n
// characters of value, then the input file's text.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "FuzzCheck.h"
#include "driver/LoadStage.h"
#include "driver/PatchStage.h"
#include "driver/Run.h"
#include "records/RecordFormat.h"

using namespace hexpoke;

namespace fs = std::filesystem;

namespace {

const fs::path& WorkDirectory() {
  static const fs::path directory = [] {
    fs::path path = fs::temp_directory_path() /
                    ("hexpoke-fuzz-" + std::to_string(getpid()));
    fs::create_directories(path);
    return path;
  }();
  return directory;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool IsParserMessage(const std::string& line) {
  return line.rfind("error len: size - >", 0) == 0 ||
         (line.rfind("error checksum. ", 0) == 0 && line.size() == 18);
}

// What loading `text` gives, or false if loading stops the run.
bool Load(const std::string& text, MemoryImage& image, std::string& messages) {
  std::istringstream in(text);
  std::ostringstream printed;
  try {
    image = LoadImage(in, printed);
  } catch (const std::runtime_error& e) {
    FUZZ_CHECK(std::string(e.what()) == "Image too large");
    messages = printed.str();
    return false;
  }
  messages = printed.str();
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size < 5) return 0;
  std::uint32_t raw_address = 0;
  for (int i = 3; i >= 0; --i) raw_address = raw_address << 8 | data[i];
  const auto address = static_cast<std::int32_t>(raw_address);
  const std::size_t value_length = data[4];
  if (size < 5 + value_length) return 0;
  const std::string value(reinterpret_cast<const char*>(data) + 5, value_length);
  const std::string input(reinterpret_cast<const char*>(data) + 5 + value_length,
                          size - 5 - value_length);

  const fs::path in_path = WorkDirectory() / "in.hex";
  const fs::path out_path = WorkDirectory() / "out.hex";
  std::ofstream(in_path, std::ios::binary) << input;
  const std::string old_output = "old output\n";
  std::ofstream(out_path, std::ios::binary) << old_output;

  const std::string in_arg = in_path.string(), out_arg = out_path.string();
  const std::string address_arg = std::to_string(address);
  const char* argv[] = {"hexpoke", "-i", in_arg.c_str(), "-o", out_arg.c_str(),
                        "-a", address_arg.c_str(), "-v", value.c_str()};
  std::ostringstream out;
  // A value with a NUL in it would be cut short on a command line, and one
  // that starts with '-' is read as an option: neither is a value.
  if (value.find('\0') != std::string::npos || value.rfind('-', 0) == 0) {
    return 0;
  }
  const int code = RunHexpoke(9, argv, out);

  // The reference: the same stages, step by step.
  MemoryImage image;
  std::string parser_messages;
  const bool loaded = Load(input, image, parser_messages);
  std::string expected_out = parser_messages;
  int expected_code = 0;
  bool writes = false;
  if (!loaded) {
    expected_out += "Error : Image too large\n";
    expected_code = 127;
  } else if (!IsWellFormedValue(value)) {
    expected_out += "Wrong walue\n";
  } else {
    const Bytes bytes = ValueBytes(value);
    const std::int64_t end = std::int64_t{address} + std::int64_t(bytes.size());
    if (address < 0 || end > std::int64_t(record_format::kLargestImage)) {
      expected_out += "Error : Address out of range\n";
      expected_code = 127;
    } else {
      PatchImage(image, address, bytes);
      writes = true;
    }
  }
  FUZZ_CHECK(code == expected_code);
  FUZZ_CHECK(out.str() == expected_out);

  std::istringstream lines(parser_messages);
  for (std::string line; std::getline(lines, line);) {
    FUZZ_CHECK(IsParserMessage(line));
  }

  const std::string written = ReadFile(out_path);
  if (!writes) {
    FUZZ_CHECK(written == old_output);
    return 0;
  }
  // The file written loads back, silently, to the patched image.
  MemoryImage reloaded;
  std::string reload_messages;
  FUZZ_CHECK(Load(written, reloaded, reload_messages));
  FUZZ_CHECK(reload_messages.empty());
  FUZZ_CHECK(reloaded == image);
  FUZZ_CHECK(written.size() >= 12 &&
             written.compare(written.size() - 12, 12, ":00000001FF\n") == 0);
  FUZZ_CHECK(written.find_first_of("abcdef") == std::string::npos);
  return 0;
}

