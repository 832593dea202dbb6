#include "driver/LoadStage.h"

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <string>

namespace hexpoke {

namespace {

// What loading `text` gives: the image and messages, or the error that
// stopped it.
struct Outcome {
  MemoryImage image;
  std::string messages;
  std::string error;
};

Outcome LoadOrError(const std::string& text) {
  std::istringstream in(text);
  std::ostringstream messages;
  Outcome outcome;
  try {
    outcome.image = LoadImage(in, messages);
  } catch (const std::runtime_error& e) {
    outcome.error = e.what();
  }
  outcome.messages = messages.str();
  return outcome;
}

MemoryImage Range(std::uint8_t first, std::size_t count) {
  MemoryImage bytes;
  for (std::size_t i = 0; i < count; ++i) {
    bytes.push_back(static_cast<std::uint8_t>(first + i));
  }
  return bytes;
}

// A record line of `type` for `data` at `address`, with a correct checksum.
std::string Line(unsigned address, const MemoryImage& data,
                 unsigned type = 0) {
  static const char kDigits[] = "0123456789ABCDEF";
  MemoryImage raw = {static_cast<std::uint8_t>(data.size()),
                     static_cast<std::uint8_t>(address >> 8),
                     static_cast<std::uint8_t>(address),
                     static_cast<std::uint8_t>(type)};
  raw.insert(raw.end(), data.begin(), data.end());
  std::uint8_t sum = 0;
  std::string line = ":";
  for (const std::uint8_t b : raw) {
    line += kDigits[b >> 4];
    line += kDigits[b & 15];
    sum = static_cast<std::uint8_t>(sum + b);
  }
  sum = static_cast<std::uint8_t>(-sum);
  line += kDigits[sum >> 4];
  line += kDigits[sum & 15];
  return line;
}

MemoryImage Zeros(std::size_t count, const MemoryImage& then = {}) {
  MemoryImage bytes(count, 0);
  bytes.insert(bytes.end(), then.begin(), then.end());
  return bytes;
}

// `line`, placed so that it ends exactly where the first block of the
// reader ends, then `after`.
std::string AtBlockEnd(const std::string& line, const std::string& after) {
  return std::string(kLoadBlockSize - line.size(), ' ') + line + after;
}

TEST(LoadImage, PlacesEveryByteAtItsAddress) {
  const std::string kTooLarge = "Image too large";
  const std::string eleven = Line(0x0000, {0x11});
  static const struct {
    const char* name;
    std::string text;
    MemoryImage image;
    std::string messages = "";
    std::string error = "";  // the error that stops loading, if any
  } cases[] = {
      {"consecutive records",
       Line(0x00, Range(0, 16)) + "\n" + Line(0x10, Range(16, 16)) +
           "\n:00000001FF\n",
       Range(0, 32)},
      {"out of order", Line(0x10, Range(16, 16)) + "\n" + Line(0, Range(0, 16)),
       Range(0, 32)},
      {"overlap: the later record wins",
       Line(0, Range(0, 8)) + "\n" + Line(2, {0xAA, 0xBB}) + "\n" +
           Line(7, {0xCC}),
       {0, 1, 0xAA, 0xBB, 4, 5, 6, 0xCC}},
      {"the same address twice", ":01000000AA55\n:01000000BB44\n", {0xBB}},
      {"a gap before a record fills with zeros", Line(0x0004, {0xAA, 0xBB}),
       {0, 0, 0, 0, 0xAA, 0xBB}},
      {"descending", Line(0x0002, {0xCC}) + " " + Line(0x0000, {0xDD}),
       {0xDD, 0, 0xCC}},
      {"an empty record past the end adds nothing",
       Line(0, {0x11}) + "\n" + Line(0x1000, {}), {0x11}},
      {"records after the end-of-file record",
       ":00000001FF\n:0100000011EE\n", {0x11}},
      {"type 01 record carrying data", ":01000001AA54\n", {0xAA}},
      {"a type 02 base inside 64 KiB", ":020000020100FB\n" + eleven,
       Zeros(0x1000, {0x11})},
      {"type 02 and 04 records of another length leave the base",
       ":020000020100FB\n" + Line(0, {0x00}, 0x04) + "\n" +
           Line(0, {0, 0, 1}, 0x02) + "\n" + eleven,
       Zeros(0x1000, {0x11})},
      {"a later base replaces the earlier one",
       ":020000020100FB\n:020000040000FA\n" + eleven, {0x11}},
      {"a zero type 04 base", ":020000040000FA\n" + eleven, {0x11}},
      {"start address records are skipped",
       Line(0, {0, 0, 0x12, 0x34}, 0x03) + " " +
           Line(0, {0x08, 0, 0x01, 0x23}, 0x05) + " " + eleven,
       {0x11}},
      {"a nonzero type 04 base", ":020000040001F9\n" + eleven, {}, "",
       kTooLarge},
      {"a type 02 base at 64 KiB", ":020000021000EC\n" + eleven, {}, "",
       kTooLarge},
      {"a record crossing 64 KiB stops loading at once",
       Line(0xFFFF, {0xAA, 0xBB}) + "\n:00\n", {}, "", kTooLarge},
      {"the last byte of 64 KiB", Line(0xFFFF, {0xAA}),
       Zeros(0xFFFF, {0xAA})},
      {"a byte order mark at the start", "\xEF\xBB\xBF" + eleven, {0x11}},
      {"a byte order mark anywhere else is not one",
       eleven + "\n\xEF\xBB\xBF" + Line(1, {0x22}), {0x11}},
      {"empty file", "", {}},
      {"white space only", " \t\r\n\v\f ", {}},
      {"no line break at the end", ":0100000011EE", {0x11}},
      {"CR LF, blank lines and leading blanks",
       "\r\n  :0100000011EE\r\n\r\n\t:0100010022DC\r\n", {0x11, 0x22}},
      {"bad lines are reported and skipped",
       ":0100000011EF\n:0100000011EE\n:01000011EE\n", {0x11},
       "error checksum. EE\nerror len: size - >5 1\n"},
      {"a blank inside a line makes two words", ":0000 0001FF\n", {},
       "error len: size - >2 0\n"},
      {"a lone start code", ": :0100000011EE", {0x11},
       "error len: size - >0 0\n"},
      {"a good line with more stuck to it is not a record line",
       ":0100000011EEx\n:0100000011EE00\n:0100000022DD", {0x22},
       "error len: size - >7 1\n"},
      {"a line ending at a block's end, then x", AtBlockEnd(eleven, "x"), {}},
      {"a line ending at a block's end, then a line end",
       AtBlockEnd(eleven, "\n"), {0x11}},
      {"a line ending at a block's end, then 00", AtBlockEnd(eleven, "00"), {},
       "error len: size - >7 1\n"},
      {"a line ending at a block's end, then the end of the file",
       AtBlockEnd(eleven, ""), {0x11}},
  };
  for (const auto& c : cases) {
    const Outcome outcome = LoadOrError(c.text);
    EXPECT_EQ(outcome.error, c.error) << c.name;
    if (c.error.empty()) {
      EXPECT_EQ(outcome.image, c.image) << c.name;
    }
    EXPECT_EQ(outcome.messages, c.messages) << c.name;
  }
}

TEST(LoadImage, WordsSpanningReadBuffersAreReadWhole) {
  // Lines of 43 characters never align with the reader's blocks, so some of
  // them straddle two reads.
  std::string text;
  MemoryImage expected;
  for (unsigned address = 0; address < 0x10000; address += 16) {
    const MemoryImage data = Range(static_cast<std::uint8_t>(address / 16), 16);
    text += Line(address, data) + "\r\n";
    expected.insert(expected.end(), data.begin(), data.end());
  }
  const Outcome loaded = LoadOrError(text + ":00000001FF");
  EXPECT_EQ(loaded.image, expected);
  EXPECT_EQ(loaded.messages, "");
}

TEST(LoadImage, ReportsAHugeWordOnceByItsLength) {
  const std::string huge = ":01" + std::string(3 * 1024 * 1024, 'A');
  const Outcome loaded = LoadOrError("\n" + huge + "\n:0100000011EE");
  EXPECT_EQ(loaded.messages, "error len: size - >1572865 1\n");
  EXPECT_EQ(loaded.image, MemoryImage{0x11});
}

TEST(LoadImage, ReportsAFailedReadInsteadOfLoopingForever) {
  std::istringstream in(":0100000011EE\n");
  in.setstate(std::ios::badbit);
  std::ostringstream messages;
  try {
    LoadImage(in, messages);
    FAIL() << "a failed read was taken for the end of the file";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "File not read");
  }
}

}  // namespace

}  // namespace hexpoke
