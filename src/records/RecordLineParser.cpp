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
  if (!DecodeRecordLine(head, length, &messages, line)) return nullptr;
  std::unique_ptr<CAbstractIntelHexRecord> record = MakeRecord(line.type());
  if (record) {
    record->RawBytes().assign(line.bytes.begin(),
                              line.bytes.begin() + line.raw_size);
  }
  return record;
}

bool DecodeRecordLine(std::string_view head, std::uint64_t length,
                      std::ostream* messages, DecodedRecordLine& line) {
  assert(head.size() >= std::min<std::uint64_t>(length, kMaxLineChars + 1));
  if (length == 0 || length % 2 == 0 || head[0] != kStartCode) return false;

  // A line that may be one is decoded whole at once, its length byte
  // first; a longer one only as far as that byte.
  const std::uint64_t decoded = (length - 1) / 2;
  bool all_digits = false;
  std::uint8_t sum = 0;
  if (decoded > kMaxLineBytes) {
    line.bytes[kLengthIndex] = HexTextToByte(head.substr(1, 2));
  } else if (decoded != 0) {
    sum = DecodeHexPairs(head.data() + 1, static_cast<std::size_t>(decoded),
                         line.bytes.data(), all_digits);
  }
  const std::uint8_t data_length = decoded == 0 ? 0 : line.bytes[kLengthIndex];
  if (decoded != data_length + kHeaderBytes + 1) {
    if (messages == nullptr) return false;
    static constexpr char kPrefix[] = "error len: size - >";
    char text[sizeof kPrefix + 2 * kDecimalDigits + 2];
    char* p = std::copy_n(kPrefix, sizeof kPrefix - 1, text);
    p = AppendDecimal(p, decoded);
    *p++ = ' ';
    p = AppendDecimal(p, data_length);
    *p++ = '\n';
    PrintMessage(*messages, text, p);
    return false;
  }

  // With the right checksum, the sum of all the line's bytes, checksum
  // included, is 0 modulo 256.
  const auto bytes = static_cast<std::size_t>(decoded);
  if (messages == nullptr && !all_digits) return false;
  if (sum != 0) {
    if (messages == nullptr) return false;
    // The checksum the line should carry.
    const auto expected = static_cast<std::uint8_t>(line.bytes[bytes - 1] - sum);
    char text[] = "error checksum. XX\n";
    EncodeHexPairs(&expected, 1, text + 16);
    PrintMessage(*messages, text, text + sizeof text - 1);
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
  return HexTextToByte(head.substr(kTypeChar, 2));
}

}  // namespace hexpoke
