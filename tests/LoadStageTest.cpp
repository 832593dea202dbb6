#include "driver/LoadStage.h"

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <string>

namespace hexpoke {

namespace {

struct Loaded {
  MemoryImage image;
  std::string messages;
};

Loaded Load(const std::string& text) {
  std::istringstream in(text);
  std::ostringstream messages;
  MemoryImage image = LoadImage(in, messages);
  return {image, messages.str()};
}

MemoryImage Range(std::uint8_t first, std::size_t count) {
  MemoryImage bytes;
  for (std::size_t i = 0; i < count; ++i) {
    bytes.push_back(static_cast<std::uint8_t>(first + i));
  }
  return bytes;
}

// A data record line for `data` at `address`, with a correct checksum.
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

TEST(LoadImage, ConsecutiveRecordsAreLaidOutByAddress) {
  const Loaded loaded = Load(Line(0x00, Range(0, 16)) + "\n" +
                             Line(0x10, Range(16, 16)) + "\n:00000001FF\n");
  EXPECT_EQ(loaded.image, Range(0, 32));
  EXPECT_EQ(loaded.messages, "");
}

TEST(LoadImage, InsertsRecordsInFileOrderMovingLaterBytesUp) {
  // The later record at 0000 goes in front of the earlier one.
  EXPECT_EQ(Load(":01000000AA55\n:01000000BB44\n").image,
            (MemoryImage{0xBB, 0xAA}));

  // 0000, 0010, then 0008: the third lands inside the first.
  const MemoryImage first = Range(0x00, 16), second = Range(0x40, 16),
                    third = Range(0x80, 16);
  MemoryImage expected(first.begin(), first.begin() + 8);
  expected.insert(expected.end(), third.begin(), third.end());
  expected.insert(expected.end(), first.begin() + 8, first.end());
  expected.insert(expected.end(), second.begin(), second.end());
  EXPECT_EQ(Load(Line(0, first) + "\n" + Line(0x10, second) + "\n" +
                 Line(0x08, third) + "\n")
                .image,
            expected);
}

TEST(LoadImage, FillsAGapBeforeARecordWithZeroBytes) {
  EXPECT_EQ(Load(Line(0x0004, {0xAA, 0xBB})).image,
            (MemoryImage{0, 0, 0, 0, 0xAA, 0xBB}));
  // A descending file: the lower record then goes in front of the gap's
  // zeros, which keep their place relative to the higher record.
  EXPECT_EQ(Load(Line(0x0002, {0xCC}) + " " + Line(0x0000, {0xDD})).image,
            (MemoryImage{0xDD, 0, 0, 0xCC}));
}

TEST(LoadImage, PlacesDataOfEveryRecordItReturnsWhateverComesAround) {
  static const struct {
    const char* name;
    std::string text;
    MemoryImage image;
    const char* messages;
  } cases[] = {
      {"empty file", "", {}, ""},
      {"white space only", " \t\r\n\v\f ", {}, ""},
      {"no line break at the end", ":0100000011EE", {0x11}, ""},
      {"CR LF, blank lines and leading blanks",
       "\r\n  :0100000011EE\r\n\r\n\t:0100010022DC\r\n", {0x11, 0x22}, ""},
      {"records after the end-of-file record",
       ":00000001FF\n:0100000011EE\n", {0x11}, ""},
      {"type 01 record carrying data", ":01000001AA54\n", {0xAA}, ""},
      {"extended address record adds nothing",
       ":020000021000EC\n:0100000011EE\n", {0x11}, ""},
      {"bad lines are reported and skipped",
       ":0100000011EF\n:0100000011EE\n:01000011EE\n",
       {0x11},
       "error checksum. EE\nerror len: size - >5 1\n"},
      {"a blank inside a line makes two words", ":0000 0001FF\n", {},
       "error len: size - >2 0\n"},
      {"a lone start code", ": :0100000011EE", {0x11},
       "error len: size - >0 0\n"},
      {"a good line with more stuck to it is not a record line",
       ":0100000011EEx\n:0100000011EE00\n:0100000022DD", {0x22},
       "error len: size - >7 1\n"},
  };
  for (const auto& c : cases) {
    const Loaded loaded = Load(c.text);
    EXPECT_EQ(loaded.image, c.image) << c.name;
    EXPECT_EQ(loaded.messages, c.messages) << c.name;
  }
}

TEST(LoadImage, WordsSpanningReadBuffersAreReadWhole) {
  // Lines of 43 characters never align with the reader's 64 KiB buffer, so
  // some of them straddle two reads.
  std::string text;
  MemoryImage expected;
  for (unsigned address = 0; address < 0x10000; address += 16) {
    const MemoryImage data = Range(static_cast<std::uint8_t>(address / 16), 16);
    text += Line(address, data) + "\r\n";
    expected.insert(expected.end(), data.begin(), data.end());
  }
  const Loaded loaded = Load(text + ":00000001FF");
  EXPECT_EQ(loaded.image, expected);
  EXPECT_EQ(loaded.messages, "");
}

TEST(LoadImage, ReportsAHugeWordOnceByItsLength) {
  const std::string huge = ":01" + std::string(3 * 1024 * 1024, 'A');
  const Loaded loaded = Load("\n" + huge + "\n:0100000011EE");
  EXPECT_EQ(loaded.messages, "error len: size - >1572865 1\n");
  EXPECT_EQ(loaded.image, MemoryImage{0x11});
}

TEST(LoadImage, RefusesAnImageLargerThan64KiB) {
  std::string text;
  for (unsigned address = 0; address < 0x10000; address += 16) {
    text += Line(address, Range(0, 16)) + "\n";
  }
  EXPECT_EQ(Load(text).image.size(), 0x10000u);  // exactly 64 KiB is fine

  std::istringstream in(text + ":0100000011EE\n");
  std::ostringstream messages;
  try {
    LoadImage(in, messages);
    FAIL() << "a 65,537-byte image was accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Image too large");
  }
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
