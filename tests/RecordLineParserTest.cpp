// SPDX-License-Identifier: MIT
#include "records/RecordLineParser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <string_view>

#include "records/IntelHexRecord.h"

namespace hexpoke {

namespace {

std::string Hex(const Bytes& bytes) {
  std::string text;
  for (const std::uint8_t b : bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    text += kDigits[b >> 4];
    text += kDigits[b & 15];
  }
  return text;
}

TEST(ParseRecordLine, AcceptsWellFormedDataAndEndOfFileLines) {
  static const struct {
    const char* line;
    bool end_of_file;
    const char* raw;      // raw record bytes
    unsigned address;
    const char* data;     // record data
  } cases[] = {
      {":00000001FF", true, "00000001", 0x0000, ""},
      {":0400100001020304E2", false, "0400100001020304", 0x0010, "01020304"},
      {":0400100001020304e2", false, "0400100001020304", 0x0010, "01020304"},
      {":01002000ab34", false, "01002000AB", 0x0020, "AB"},
      // Type 01 with data is still an end-of-file record, data and all.
      {":01000001AA54", true, "01000001AA", 0x0000, "AA"},
      {":00FFFF0101", true, "00FFFF01", 0xFFFF, ""},
      {":01FFFF00AA57", false, "01FFFF00AA", 0xFFFF, "AA"},
  };
  for (const auto& c : cases) {
    std::ostringstream messages;
    const auto record = ParseRecordLine(c.line, messages);
    ASSERT_NE(record, nullptr) << c.line;
    EXPECT_EQ(messages.str(), "") << c.line;
    EXPECT_EQ(dynamic_cast<CIntelEndFileRecord*>(record.get()) != nullptr,
              c.end_of_file)
        << c.line;
    EXPECT_EQ(Hex(record->RawBytes()), c.raw) << c.line;
    EXPECT_EQ(record->RecordAddress(), c.address) << c.line;
    EXPECT_EQ(Hex(record->RecordData()), c.data) << c.line;
  }
}

TEST(ParseRecordLine, AcceptsTheLongestRecordLine) {
  std::string line = ":FF000000";
  unsigned sum = 0xFF;
  for (int i = 0; i < 255; ++i) {
    line += "5A";
    sum += 0x5A;
  }
  line += Hex({static_cast<std::uint8_t>(-sum)});
  ASSERT_EQ(line.size(), 521u);
  std::ostringstream messages;
  const auto record = ParseRecordLine(line, messages);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->RecordData(), Bytes(255, 0x5A));
  EXPECT_EQ(messages.str(), "");
}

TEST(ParseRecordLine, RejectsOtherWordsWithTheirExactMessageOrNone) {
  static const struct {
    const char* word;
    const char* message;
  } cases[] = {
      {"", ""},
      {";00000001FF", ""},
      {":00000001FF0", ""},         // one stray character: even length
      {"00000001FF", ""},           // even length is checked before ':'
      {":020000021000EC", ""},      // valid, but a type the model ignores
      {":0400100001020304E3", "error checksum. E2\n"},
      {":0400100001020304", "error len: size - >8 4\n"},
      {":00", "error len: size - >1 0\n"},
      {":zz", "error len: size - >1 0\n"},
      {":", "error len: size - >0 0\n"},
      {":0000", "error len: size - >2 0\n"},
      {":00000000FF", "error checksum. 00\n"},
      // Non-digits decode through the stream rules, then fail the checks.
      {":0g000000F0", "error checksum. 00\n"},
  };
  for (const auto& c : cases) {
    std::ostringstream messages;
    EXPECT_EQ(ParseRecordLine(c.word, messages), nullptr) << c.word;
    EXPECT_EQ(messages.str(), c.message) << c.word;
  }
}

TEST(ParseRecordLine, ReportsOverlongWordsByLengthFromTheirHeadAlone) {
  const std::string long_word = ":01" + std::string(600, '0');  // 603 chars
  std::ostringstream whole;
  EXPECT_EQ(ParseRecordLine(long_word, whole), nullptr);
  EXPECT_EQ(whole.str(), "error len: size - >301 1\n");

  std::ostringstream from_head;
  EXPECT_EQ(ParseRecordLine(std::string_view(long_word).substr(0, 522),
                            long_word.size(), from_head),
            nullptr);
  EXPECT_EQ(from_head.str(), whole.str());
}

// Without messages the decoder is quiet, and takes only lines of hex
// digits: a reader that guessed where the word ends relies on that.
TEST(DecodeRecordLine, WithoutMessagesTakesOnlyLinesOfDigitsQuietly) {
  static const struct {
    const char* line;
    bool with_messages, without;  // what each returns
  } cases[] = {
      {":0400100001020304E2", true, true},
      {":0400100001020304e2", true, true},
      {":01000000+1FE", true, false},  // "+1" reads as 01
      {":0400100001020304E3", false, false},
      {":0400100001020304", false, false},
  };
  for (const auto& c : cases) {
    const std::string_view line = c.line;
    DecodedRecordLine decoded{};
    std::ostringstream messages;
    EXPECT_EQ(DecodeRecordLine(line, line.size(), &messages, decoded), c.with_messages)
        << c.line;
    EXPECT_EQ(DecodeRecordLine(line, line.size(), nullptr, decoded), c.without) << c.line;
  }
}

}  // namespace

}  // namespace hexpoke
