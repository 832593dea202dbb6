// SPDX-License-Identifier: MIT
// The whole run, in process: input file, value, address and output file
// come from the fuzzer's bytes, RunHexpoke does the job, and the outcome is
// checked. Either the run ends with one of the tool's own messages and exit
// codes and leaves the output file alone, or it writes a file that loads
// back to the input's bytes, at their addresses, with the value written in,
// and the input's start addresses. What it is held to is worked out by a
// few lines here, not by the load stage.
//
// Input layout: 4 bytes of address (little-endian, any int), 1 byte n, n
// characters of value, then the input file's text.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>

#include "FuzzCheck.h"
#include "driver/PatchStage.h"
#include "driver/Run.h"
#include "image/MemoryImage.h"
#include "records/RecordLineParser.h"
#include "util/HexByteText.h"

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

// What loading a text must give, worked out the plain way and apart from
// the load stage: words by stream extraction, each decoded by the parser,
// every data byte put in a map at base + address.
struct Reference {
  std::string error;  // what stops loading, if anything
  std::map<std::uint64_t, std::uint8_t> bytes;
  std::optional<std::string> start_segment, start_linear;  // their data
  bool saw_segment_base = false, saw_linear_base = false;
  std::string messages;           // what the parser printed up to the end
};

const char kMalformed[] = "Malformed address record";

Reference ReferenceLoad(const std::string& text) {
  std::istringstream words(text);
  std::ostringstream printed;
  Reference loaded;
  std::uint64_t base = 0;
  bool segment = false;
  bool saw_start_code = false, saw_other_word = false;
  for (std::string word; loaded.error.empty() && words >> word;) {
    // A byte order mark that begins a word is none of it.
    if (word.rfind("\xEF\xBB\xBF", 0) == 0) word.erase(0, 3);
    if (word.empty()) continue;
    (word[0] == ':' ? saw_start_code : saw_other_word) = true;
    DecodedRecordLine line;
    if (!DecodeRecordLine(word, word.size(), &printed, line)) {
      // A bad line is skipped, unless its type field, characters 7 and 8
      // of a record line, says it is an address record.
      if (word.size() % 2 == 1 && word.size() >= 9 && word[0] == ':') {
        const std::uint8_t type = HexTextToByte(word.substr(7, 2));
        if (type >= 0x02 && type <= 0x05) loaded.error = kMalformed;
      }
      continue;
    }
    const std::uint8_t* data = line.data();
    const std::size_t count = line.data_size();
    const std::uint8_t type = line.type();
    if ((type == 0x02 || type == 0x04) ? count != 2
                                       : (type == 0x03 || type == 0x05) && count != 4) {
      loaded.error = kMalformed;
      break;
    }
    const std::uint64_t value = count == 2 ? data[0] * 256u + data[1] : 0;
    switch (type) {
      case 0x00:
      case 0x01:
        if (count > 0 && segment && line.address() + count > 0x10000) {
          loaded.error = "Record crosses a segment boundary";
          break;
        }
        for (std::size_t i = 0; i < count && loaded.error.empty(); ++i) {
          const std::uint64_t address = base + line.address() + i;
          if (address >= MemoryImage::kAddressSpace) {
            loaded.error = "Image too large";
          } else {
            loaded.bytes[address] = data[i];
          }
        }
        break;
      case 0x02:
      case 0x04:
        segment = line.type() == 0x02;
        base = segment ? value * 16 : value * 65536;
        (segment ? loaded.saw_segment_base : loaded.saw_linear_base) = true;
        break;
      case 0x03:
      case 0x05:
        (line.type() == 0x03 ? loaded.start_segment : loaded.start_linear) =
            std::string(reinterpret_cast<const char*>(data), 4);
        break;
      default:
        break;
    }
  }
  // Words, and not one of them a record line.
  if (loaded.error.empty() && saw_other_word && !saw_start_code) {
    loaded.error = "Not an Intel HEX file";
  }
  loaded.messages = printed.str();
  return loaded;
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
  Reference reference = ReferenceLoad(input);
  std::string expected_out = reference.messages;
  int expected_code = 0;
  bool writes = false;
  if (!reference.error.empty()) {
    expected_out += "Error : " + reference.error + "\n";
    expected_code = 127;
  } else if (!IsWellFormedValue(value)) {
    expected_out += "Wrong walue\n";
  } else if (address < 0) {
    expected_out += "Error : Address out of range\n";
    expected_code = 127;
  } else {
    // Below 64 KiB, a patch at or past the end first fills 00 up to it.
    auto& bytes = reference.bytes;
    const std::uint64_t end = bytes.empty() ? 0 : bytes.rbegin()->first + 1;
    const auto first = static_cast<std::uint64_t>(address);
    if (first < 0x10000) {
      for (std::uint64_t a = end; a < first; ++a) bytes.emplace_hint(bytes.end(), a, 0);
    }
    const Bytes value_bytes = ValueBytes(value);
    for (std::size_t i = 0; i < value_bytes.size(); ++i) {
      bytes[first + i] = value_bytes[i];
    }
    writes = true;
  }
  FUZZ_CHECK(code == expected_code);
  FUZZ_CHECK(out.str() == expected_out);

  std::istringstream lines(reference.messages);
  for (std::string line; std::getline(lines, line);) {
    FUZZ_CHECK(IsParserMessage(line));
  }

  const std::string written = ReadFile(out_path);
  if (!writes) {
    FUZZ_CHECK(written == old_output);
    return 0;
  }
  // The file written loads back, silently, to the patched bytes and the
  // same start addresses.
  const Reference reloaded = ReferenceLoad(written);
  FUZZ_CHECK(reloaded.error.empty());
  FUZZ_CHECK(reloaded.messages.empty());
  FUZZ_CHECK(reloaded.bytes == reference.bytes);
  FUZZ_CHECK(reloaded.start_segment == reference.start_segment);
  FUZZ_CHECK(reloaded.start_linear == reference.start_linear);
  // Extended address records only where a byte lies beyond 64 KiB, and of
  // the input's kind where that can be kept.
  const std::uint64_t end = reference.bytes.rbegin()->first + 1;
  FUZZ_CHECK((reloaded.saw_segment_base || reloaded.saw_linear_base) ==
             (end > 0x10000));
  if (end > 0x10000) {
    const bool segments = reference.saw_segment_base &&
                          !reference.saw_linear_base && end <= 0x100000;
    FUZZ_CHECK(reloaded.saw_segment_base == segments);
    FUZZ_CHECK(reloaded.saw_linear_base == !segments);
  }
  FUZZ_CHECK(written.size() >= 12 &&
             written.compare(written.size() - 12, 12, ":00000001FF\n") == 0);
  FUZZ_CHECK(written.find_first_of("abcdef") == std::string::npos);
  return 0;
}
