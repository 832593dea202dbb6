// SPDX-License-Identifier: MIT
#include "driver/LoadStage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <istream>
#include <sstream>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <utility>

#include "TestImages.h"

namespace hexpoke {

namespace {

// What loading `text` gives: the image, extras and messages, or the error
// that stopped it.
struct Outcome {
  Runs image;
  FileExtras extras;
  std::string messages;
  std::string error;
};

Outcome LoadOrError(std::istream& in) {
  std::ostringstream messages;
  Outcome outcome;
  try {
    const LoadedFile file = LoadImage(in, messages);
    outcome.image = RunsOf(file.image);
    outcome.extras = file.extras;
  } catch (const std::runtime_error& e) {
    outcome.error = e.what();
  }
  outcome.messages = messages.str();
  return outcome;
}

Outcome LoadOrError(const std::string& text) {
  std::istringstream in(text);
  return LoadOrError(in);
}

// `line`, placed so that it ends exactly where the first block of the
// reader ends, then `after`.
std::string AtBlockEnd(const std::string& line, const std::string& after) {
  return std::string(kLoadBlockSize - line.size(), ' ') + line + after;
}

FileExtras Segmented() {
  FileExtras extras;
  extras.segment_addressing = true;
  return extras;
}

TEST(LoadImage, PlacesEveryByteAtItsAddress) {
  const std::string kTooLarge = "Image too large";
  const std::string kCrosses = "Record crosses a segment boundary";
  const std::string kMalformed = "Malformed address record";
  const std::string kNotHex = "Not an Intel HEX file";
  const std::string eleven = Line(0x0000, {0x11});
  const std::string segment_1000 = ":020000021000EC\n";  // base 0x10000
  const std::string linear_0800 = ":020000040800F2\n";   // base 0x08000000
  const std::string linear_ffff = ":02000004FFFFFC\n";   // base 0xFFFF0000
  FileExtras started;
  started.start_segment = StartAddress{0, 0, 0x12, 0x34};
  started.start_linear = StartAddress{0x08, 0, 0x01, 0x23};
  static const struct {
    const char* name;
    std::string text;
    Runs image;
    std::string messages = "";
    std::string error = "";  // the error that stops loading, if any
    FileExtras extras = {};
  } cases[] = {
      {"consecutive records",
       Line(0x00, Range(0, 16)) + "\n" + Line(0x10, Range(16, 16)) +
           "\n:00000001FF\n",
       {{0, Range(0, 32)}}},
      {"out of order", Line(0x10, Range(16, 16)) + "\n" + Line(0, Range(0, 16)),
       {{0, Range(0, 32)}}},
      {"overlap: the later record wins",
       Line(0, Range(0, 8)) + "\n" + Line(2, {0xAA, 0xBB}) + "\n" +
           Line(7, {0xCC}),
       {{0, {0, 1, 0xAA, 0xBB, 4, 5, 6, 0xCC}}}},
      {"the same address twice", ":01000000AA55\n:01000000BB44\n", {{0, {0xBB}}}},
      {"a leading gap stays a gap", Line(0x0004, {0xAA, 0xBB}),
       {{4, {0xAA, 0xBB}}}},
      {"an inner gap stays a gap", Line(0, {0x11}) + " " + Line(5, {0x22}),
       {{0, {0x11}}, {5, {0x22}}}},
      {"descending", Line(0x0002, {0xCC}) + " " + Line(0x0000, {0xDD}),
       {{0, {0xDD}}, {2, {0xCC}}}},
      {"descending records that touch make one run",
       Line(0x0002, {0xCC}) + " " + Line(0x0000, {0xDD, 0xEE}),
       {{0, {0xDD, 0xEE, 0xCC}}}},
      {"an empty record past the end adds nothing",
       Line(0, {0x11}) + "\n" + Line(0x1000, {}), {{0, {0x11}}}},
      {"records after the end-of-file record",
       ":00000001FF\n:0100000011EE\n", {{0, {0x11}}}},
      {"type 01 record carrying data", ":01000001AA54\n", {{0, {0xAA}}}},
      {"a type 02 base inside 64 KiB", ":020000020100FB\n" + eleven,
       {{0x1000, {0x11}}}, "", "", Segmented()},
      // An address record that cannot be read stops loading at once.
      {"an empty 05 record, after data", eleven + "\n" + Line(0, {}, 0x05), {},
       "", kMalformed},
      {"the shortest word with a type field", ":02000004\n" + eleven, {},
       "error len: size - >4 2\n", kMalformed},
      {"a type field read by the pairs' rules: +4 is 04",
       ":020000+40800F3", {}, "error checksum. F2\n", kMalformed},
      {"a word too long to be a line has its type read from its head",
       ":01000003" + std::string(600, '0') + "\n" + eleven, {},
       "error len: size - >304 1\n", kMalformed},
      {"a word too short for a type field is reported and skipped",
       ":020000\n" + eleven, {{0, {0x11}}}, "error len: size - >3 2\n"},
      {"a word of even length is no record line, whatever its type field",
       ":020000040800F2x\n" + eleven, {{0, {0x11}}}},
      {"a later base replaces the earlier one",
       ":020000020100FB\n:020000040000FA\n" + eleven, {{0, {0x11}}}},
      {"a zero type 04 base", ":020000040000FA\n" + eleven, {{0, {0x11}}}},
      {"a type 04 base beyond 64 KiB", linear_0800 + Line(0x10, {0x11, 0x22}),
       {{0x08000010, {0x11, 0x22}}}},
      {"a type 02 base beyond 64 KiB", segment_1000 + eleven,
       {{0x10000, {0x11}}}, "", "", Segmented()},
      {"the highest type 02 base", ":02000002FFFFFE\n" + Line(0xFFFF, {0x11}),
       {{0x10FFEF, {0x11}}}, "", "", Segmented()},
      {"a record runs on across 64 KiB without an extended record",
       Line(0xFFFF, {0xAA, 0xBB}) + "\n:00\n", {{0xFFFF, {0xAA, 0xBB}}},
       "error len: size - >1 0\n"},
      {"a record runs on across 64 KiB under a linear base",
       linear_0800 + Line(0xFFF8, Range(0, 16)), {{0x0800FFF8, Range(0, 16)}}},
      {"a record that ends with its segment",
       segment_1000 + Line(0xFFFE, {0xAA, 0xBB}), {{0x1FFFE, {0xAA, 0xBB}}}, "",
       "", Segmented()},
      {"a record crossing its segment's end stops loading at once",
       ":0100000011EF\n" + segment_1000 + Line(0xFFFF, {0xAA, 0xBB}) + "\n:00\n",
       {}, "error checksum. EE\n", kCrosses},
      {"a linear base after a segment base lets records run on",
       segment_1000 + ":020000040001F9\n" + Line(0xFFFF, {0xAA, 0xBB}),
       {{0x1FFFF, {0xAA, 0xBB}}}},
      {"the last byte of 4 GiB", linear_ffff + Line(0xFFFF, {0xAA}),
       {{0xFFFFFFFF, {0xAA}}}},
      {"a byte beyond 4 GiB stops loading at once",
       linear_ffff + Line(0xFFFF, {0xAA, 0xBB}) + "\n:00\n", {}, "", kTooLarge},
      {"an empty record at the end of 4 GiB adds nothing",
       linear_ffff + Line(0xFFFF, {}), {}},
      {"start address records are kept",
       Line(0, {0, 0, 0x12, 0x34}, 0x03) + " " +
           Line(0, {0x08, 0, 0x01, 0x23}, 0x05) + " " + eleven,
       {{0, {0x11}}}, "", "", started},
      {"the last start address of each kind wins",
       Line(0, {9, 9, 9, 9}, 0x05) + " " + Line(0, {9, 9, 9, 9}, 0x03) + " " +
           Line(0, {0x08, 0, 0x01, 0x23}, 0x05) + " " +
           Line(0, {0, 0, 0x12, 0x34}, 0x03),
       {}, "", "", started},
      {"a byte order mark at the start", "\xEF\xBB\xBF" + eleven, {{0, {0x11}}}},
      {"a byte order mark that begins a later word, as cat leaves it",
       eleven + "\n\xEF\xBB\xBF" + Line(1, {0x22}), {{0, {0x11, 0x22}}}},
      {"a byte order mark cut by a block's end",
       AtBlockEnd(eleven + "\n\xEF\xBB", "\xBF" + Line(1, {0x22})),
       {{0, {0x11, 0x22}}}},
      {"a byte order mark alone", "\xEF\xBB\xBF\r\n", {}},
      {"words and no record line", "S1070000111213149E x", {}, "", kNotHex},
      {"a bad record line among them is one", "S1 :0100000011EF", {},
       "error checksum. EE\n"},
      {"empty file", "", {}},
      {"white space only", " \t\r\n\v\f ", {}},
      {"no line break at the end", ":0100000011EE", {{0, {0x11}}}},
      {"CR LF, blank lines and leading blanks",
       "\r\n  :0100000011EE\r\n\r\n\t:0100010022DC\r\n", {{0, {0x11, 0x22}}}},
      {"bad lines are reported and skipped",
       ":0100000011EF\n:0100000011EE\n:01000011EE\n", {{0, {0x11}}},
       "error checksum. EE\nerror len: size - >5 1\n"},
      {"a blank inside a line makes two words", ":0000 0001FF\n", {},
       "error len: size - >2 0\n"},
      {"a lone start code", ": :0100000011EE", {{0, {0x11}}},
       "error len: size - >0 0\n"},
      {"white space inside the line that a length byte gives",
       ":01000000 1FF\n" + eleven, {{0, {0x11}}}, "error len: size - >4 1\n"},
      {"a good line with more stuck to it is not a record line",
       ":0100000011EEx\n:0100000011EE00\n:0100000022DD", {{0, {0x22}}},
       "error len: size - >7 1\n"},
      {"a line ending at a block's end, then x", AtBlockEnd(eleven, "x"), {}},
      {"a line ending at a block's end, then a line end",
       AtBlockEnd(eleven, "\n"), {{0, {0x11}}}},
      {"a line ending at a block's end, then 00", AtBlockEnd(eleven, "00"), {},
       "error len: size - >7 1\n"},
      {"a line ending at a block's end, then the end of the file",
       AtBlockEnd(eleven, ""), {{0, {0x11}}}},
  };
  for (const auto& c : cases) {
    const Outcome outcome = LoadOrError(c.text);
    EXPECT_EQ(outcome.error, c.error) << c.name;
    if (c.error.empty()) {
      EXPECT_EQ(outcome.image, c.image) << c.name;
      EXPECT_TRUE(outcome.extras == c.extras) << c.name;
    }
    EXPECT_EQ(outcome.messages, c.messages) << c.name;
  }
}

TEST(LoadImage, WordsSpanningReadBuffersAreReadWhole) {
  // Lines of 43 characters never align with the reader's blocks, so some of
  // them straddle two reads.
  std::string text;
  Bytes expected;
  for (unsigned address = 0; address < 0x10000; address += 16) {
    const Bytes data = Range(static_cast<std::uint8_t>(address / 16), 16);
    text += Line(address, data) + "\r\n";
    expected.insert(expected.end(), data.begin(), data.end());
  }
  const Outcome loaded = LoadOrError(text + ":00000001FF");
  EXPECT_EQ(loaded.image, (Runs{{0, expected}}));
  EXPECT_EQ(loaded.messages, "");

  // One-byte lines of 14 characters at every other address, in descending
  // order: some straddle reads, some end just short of a block's end, and
  // every one goes below the bytes placed before it.
  std::string interleaved;
  Runs interleaved_runs;
  for (unsigned address = 0x8000; address > 0; address -= 2) {
    interleaved += Line(address - 2, {static_cast<std::uint8_t>(address)}) + "\n";
    interleaved_runs.emplace_back(address - 2, Bytes{static_cast<std::uint8_t>(address)});
  }
  // Runs are listed from the lowest address up. (Built back to front and
  // reversed, not inserted at the front each time: 16384 runs moved 16384
  // times took four minutes in the sanitizer build.)
  std::reverse(interleaved_runs.begin(), interleaved_runs.end());
  const Outcome one_byte = LoadOrError(interleaved);
  EXPECT_TRUE(one_byte.image == interleaved_runs);
  EXPECT_EQ(one_byte.image.size(), interleaved_runs.size());
  EXPECT_EQ(one_byte.messages, "");
}

TEST(LoadImage, ReportsAHugeWordOnceByItsLength) {
  const std::string huge = ":01" + std::string(3 * 1024 * 1024, 'A');
  const Outcome loaded = LoadOrError("\n" + huge + "\n:0100000011EE");
  EXPECT_EQ(loaded.messages, "error len: size - >1572865 1\n");
  EXPECT_EQ(loaded.image, (Runs{{0, {0x11}}}));
}

// Characters made as they are read: `head`, then 'A' up to `word_length`
// characters, then `tail`. A word of 4 GiB without 4 GiB of memory.
class GeneratedText : public std::streambuf {
 public:
  GeneratedText(std::string head, std::uint64_t word_length, std::string tail)
      : head_(std::move(head)), word_length_(word_length),
        tail_(std::move(tail)), buffer_(kChunk, 'A') {}

 protected:
  int_type underflow() override {
    const std::uint64_t total = word_length_ + tail_.size();
    if (position_ >= total) return traits_type::eof();
    const auto size =
        static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, total - position_));
    // Only a chunk that holds part of the head or the tail is written; the
    // rest of the word is the 'A's already there.
    const bool plain = position_ >= head_.size() && position_ + size <= word_length_;
    if (!plain || !plain_) {
      for (std::size_t i = 0; i < size; ++i) buffer_[i] = At(position_ + i);
    }
    plain_ = plain;
    setg(buffer_.data(), buffer_.data(), buffer_.data() + size);
    position_ += size;
    return traits_type::to_int_type(buffer_[0]);
  }

 private:
  static constexpr std::size_t kChunk = std::size_t{1} << 20;

  char At(std::uint64_t at) const {
    if (at < head_.size()) return head_[static_cast<std::size_t>(at)];
    if (at < word_length_) return 'A';
    return tail_[static_cast<std::size_t>(at - word_length_)];
  }

  std::string head_;
  std::uint64_t word_length_;
  std::string tail_;
  std::string buffer_;
  std::uint64_t position_ = 0;
  bool plain_ = true;
};

// A word's length passes 32 bits: it is still judged by its true length, and
// the words after it are read as they stand. The record after the word
// crosses the end of one of the reader's blocks.
TEST(LoadImage, WordsOf4GiBAreCountedInFull) {
  const std::uint64_t k4GiB = std::uint64_t{1} << 32;
  const std::string after =
      "\n" + std::string(kLoadBlockSize - 5, ' ') + Line(0x0001, {0x22});
  static const struct {
    std::uint64_t length;
    const char* messages;
  } cases[] = {
      {k4GiB, ""},  // even: no record line, silently
      {k4GiB + 3, "error len: size - >2147483649 1\n"},
  };
  for (const auto& c : cases) {
    GeneratedText text(Line(0x0000, {0x11}), c.length, after);
    std::istream in(&text);
    const Outcome loaded = LoadOrError(in);
    EXPECT_EQ(loaded.error, "") << c.length;
    EXPECT_EQ(loaded.messages, c.messages) << c.length;
    EXPECT_EQ(loaded.image, (Runs{{1, {0x22}}})) << c.length;
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
