// SPDX-License-Identifier: MIT
#include "records/RecordLineParser.h"

#include <algorithm>
#include <cassert>
#include <charconv>
#include <limits>

#include "util/HexByteText.h"

namespace hexpoke {

using namespace record_format;

namespace {

// Room for the decimal digits of any std::uint64_t.
constexpr std::size_t kDecimalDigits =
    std::numeric_limits<std::uint64_t>::digits10 + 1;

// Writes the decimal digits of `value` at `p`; returns the end.
char* AppendDecimal(char* p, std::uint64_t value) {
  return std::to_chars(p, p + kDecimalDigits, value).ptr;
}

// Writes `text` to `messages` in one call. A file of bad lines makes as many
// messages as lines, so each costs one buffered write and no flush.
void PrintMessage(std::ostream& messages, const char* begin, const char* end) {
  messages.write(begin, end - begin);
}

}  // namespace

std::unique_ptr<CAbstractIntelHexRecord> ParseRecordLine(
    std::string_view text, std::ostream& messages) {
  return ParseRecordLine(text, text.size(), messages);
}

std::unique_ptr<CAbstractIntelHexRecord> ParseRecordLine(
    std::string_view head, std::uint64_t length, std::ostream& messages) {
  DecodedRecordLine line;
  if (!DecodeRecordLine(head, length, messages, line)) return nullptr;
  std::unique_ptr<CAbstractIntelHexRecord> record = MakeRecord(line.type());
  if (record) {
    record->RawBytes().assign(line.bytes.begin(),
                              line.bytes.begin() + line.raw_size);
  }
  return record;
}

bool DecodeRecordLine(std::string_view head, std::uint64_t length,
                      std::ostream& messages, DecodedRecordLine& line) {
  assert(head.size() >= std::min<std::uint64_t>(length, kMaxLineChars + 1));
  if (length == 0 || length % 2 == 0 || head[0] != kStartCode) return false;

  const std::uint64_t decoded = (length - 1) / 2;
  std::uint8_t data_length = 0;
  if (decoded != 0) HexPairsToBytes(head.data() + 1, 1, &data_length);
  if (decoded != data_length + kHeaderBytes + 1) {
    static constexpr char kPrefix[] = "error len: size - >";
    char text[sizeof kPrefix + 2 * kDecimalDigits + 2];
    char* p = std::copy_n(kPrefix, sizeof kPrefix - 1, text);
    p = AppendDecimal(p, decoded);
    *p++ = ' ';
    p = AppendDecimal(p, data_length);
    *p++ = '\n';
    PrintMessage(messages, text, p);
    return false;
  }

  // The length check bounds the bytes by kMaxLineBytes, and the whole text
  // is in `head`.
  const auto bytes = static_cast<std::size_t>(decoded);
  // The checksum the line should carry. A line of hex digits, such as one
  // with a wrong checksum, is decoded and summed in one pass; any other by
  // the stream's rules.
  std::uint8_t expected;
  const int sum = DecodeAllHexDigitPairs(head.data() + 1, bytes, 2 * bytes, line.bytes.data());
  if (sum >= 0) {
    expected = static_cast<std::uint8_t>(line.bytes[bytes - 1] - sum);
  } else {
    HexPairsToBytes(head.data() + 1, bytes, line.bytes.data());
    expected = Checksum(line.bytes.data(), bytes - 1);
  }
  if (line.bytes[bytes - 1] != expected) {
    char text[] = "error checksum. XX\n";
    WriteHexTexts(text + 16, &expected, 1);
    PrintMessage(messages, text, text + sizeof text - 1);
    return false;
  }
  line.raw_size = bytes - 1;
  return true;
}

std::optional<std::uint8_t> RecordTypeField(std::string_view head,
                                            std::uint64_t length) {
  assert(head.size() >= std::min<std::uint64_t>(length, kMaxLineChars + 1));
  if (length % 2 == 0 || length < kTypeChar + 2 || head[0] != kStartCode) {
    return std::nullopt;
  }
  std::uint8_t type;
  HexPairsToBytes(head.data() + kTypeChar, 1, &type);
  return type;
}

}  // namespace hexpoke
