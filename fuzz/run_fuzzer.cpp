// The whole run, in process: input file, value, address and output file
// come from the fuzzer's bytes, RunHexpoke does the job, and the outcome is
// checked. Either the run ends with one of the tool's own messages and exit
// codes and leaves the output file alone, or it writes a file that loads
// back to the input's image with the value written in. The image it is
// held to is worked out by a few lines here, not by the load stage.
//
// Input layout: 4 bytes of address (little-endian, any int), 1 byte n, n
// characters of value, then the input file's text.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "FuzzCheck.h"
#include "driver/PatchStage.h"
#include "driver/Run.h"
#include "records/RecordFormat.h"
#include "records/RecordLineParser.h"

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

// The image that loading `text` must give, worked out the plain way and
// apart from the load stage: words by stream extraction, each decoded by the
// parser, every data byte put in a map at base + address. Returns false if
// loading must stop because a byte lies at 64 KiB or beyond; `messages` gets
// what the parser printed up to there.
bool ReferenceLoad(std::string text, MemoryImage& image,
                   std::string& messages) {
  if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
  std::istringstream words(text);
  std::ostringstream printed;
  std::map<std::size_t, std::uint8_t> placed;
  std::size_t base = 0;
  bool fits = true;
  for (std::string word; fits && words >> word;) {
    DecodedRecordLine line;
    if (!DecodeRecordLine(word, word.size(), printed, line)) continue;
    const std::uint8_t* data = line.data();
    const std::size_t count = line.data_size();
    const std::size_t value = count == 2 ? data[0] * 256u + data[1] : 0;
    switch (line.type()) {
      case 0x00:
      case 0x01:
        for (std::size_t i = 0; i < count && fits; ++i) {
          const std::size_t address = base + line.address() + i;
          fits = address < 0x10000;
          placed[address] = data[i];
        }
        break;
      case 0x02:
        if (count == 2) base = value * 16;
        break;
      case 0x04:
        if (count == 2) base = value * 65536;
        break;
      default:
        break;
    }
  }
  messages = printed.str();
  if (!fits) return false;
  image.assign(placed.empty() ? 0 : placed.rbegin()->first + 1, 0);
  for (const auto& [address, byte] : placed) image[address] = byte;
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

  // The reference: what the run must have printed and written.
  MemoryImage image;
  std::string parser_messages;
  const bool loaded = ReferenceLoad(input, image, parser_messages);
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
  FUZZ_CHECK(ReferenceLoad(written, reloaded, reload_messages));
  FUZZ_CHECK(reload_messages.empty());
  FUZZ_CHECK(reloaded == image);
  FUZZ_CHECK(written.size() >= 12 &&
             written.compare(written.size() - 12, 12, ":00000001FF\n") == 0);
  FUZZ_CHECK(written.find_first_of("abcdef") == std::string::npos);
  return 0;
}

