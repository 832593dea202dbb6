// SPDX-License-Identifier: MIT
#ifndef HEXPOKE_RECORDS_RECORD_LINE_PARSER_H_
#define HEXPOKE_RECORDS_RECORD_LINE_PARSER_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string_view>

#include "records/IntelHexRecord.h"
#include "records/RecordFormat.h"
#include "util/HexByteText.h"

namespace hexpoke {

// Parses one whitespace-free word of an Intel HEX file as a record line.
//
// Returns a data or end-of-file record, or nullptr when the word is not one:
//  - silently for an empty word, a word of even length, a word that does not
//    start with ':', and a well-formed line of a type other than 00 and 01;
//  - with one line on `messages` when the number n of decoded bytes is not
//    L + 5 ("error len: size - >n L", in decimal; a lone ':' gives n = 0 and
//    L = 0), or when the checksum is wrong ("error checksum. XX", XX being the
//    checksum the line should carry).
// Characters are decoded in pairs as HexTextToByte reads them, so non-digits
// are not rejected as such; the length and checksum checks judge the result.
// Each message ends in '\n' and is written in one piece, without a flush.
std::unique_ptr<CAbstractIntelHexRecord> ParseRecordLine(
    std::string_view text, std::ostream& messages);

// The same, for a word of `length` characters of which only `head`, its
// first characters, was kept. A word longer than record_format::kMaxLineChars
// can never be a record line, so a reader need keep no more of a word than
// that many characters plus one.
// REQUIRES: head.size() >= min(length, kMaxLineChars + 1).
// The length is counted in 64 bits, so that a word of 4 GiB or more is
// judged by its true length on every platform.
std::unique_ptr<CAbstractIntelHexRecord> ParseRecordLine(
    std::string_view head, std::uint64_t length, std::ostream& messages);

// The raw record bytes of a line that passed the length and checksum checks.
struct DecodedRecordLine {
  std::array<std::uint8_t, record_format::kMaxLineBytes> bytes;
  std::size_t raw_size;  // 4 + L; bytes[raw_size] is the checksum

  std::uint8_t type() const { return bytes[record_format::kTypeIndex]; }
  std::uint16_t address() const {
    return static_cast<std::uint16_t>(
        bytes[record_format::kAddressHighIndex] << 8 |
        bytes[record_format::kAddressLowIndex]);
  }
  const std::uint8_t* data() const {
    return bytes.data() + record_format::kHeaderBytes;
  }
  std::size_t data_size() const {
    return raw_size - record_format::kHeaderBytes;
  }
};

// ParseRecordLine short of making a record, for readers that want only the
// bytes: the same checks and messages, and on success the line's bytes in
// `line`, whatever its record type. Returns false where ParseRecordLine
// returns nullptr for any reason but the record type.
// REQUIRES: as the head-only ParseRecordLine.
bool DecodeRecordLine(std::string_view head, std::uint64_t length,
                      std::ostream& messages, DecodedRecordLine& line);

// The type field of a word, whatever its length byte and checksum say: the
// pair of characters 7 and 8, read as HexTextToByte reads them, of a word
// that starts with ':' and has an odd length of 9 or more; nullopt for any
// other word, which has no type field or is no record line.
// REQUIRES: as the head-only ParseRecordLine.
std::optional<std::uint8_t> RecordTypeField(std::string_view head,
                                            std::uint64_t length);

// DecodeRecordLine for a reader that has the text ahead of a word in memory
// and has not looked for the word's end yet. If the `available` characters
// at `text` begin with a record line of at least one data byte that passes
// the length and checksum checks and whose every character after the start
// code is a hex digit, sets `line` to its bytes and returns its length; a
// white-space character after it makes it a whole word, which
// DecodeRecordLine would decode the same. Returns 0 for anything else, and
// never prints: such a word goes to DecodeRecordLine, which judges and
// reports it. A line without data (the end-of-file record) places nothing
// and gains nothing from this, and a bad one would be decoded twice.
inline std::size_t DecodeRecordLineAt(const char* text, std::size_t available,
                                      DecodedRecordLine& line) {
  using namespace record_format;
  if (available < 3 || text[0] != kStartCode) return 0;
  // The length as it reads if its two characters are hex digits; if they
  // are not, the decoding below, which takes them in too, fails.
  const std::size_t data_length =
      (UncheckedDigitValue(text[1]) << 4 | UncheckedDigitValue(text[2])) & 0xFFu;
  const std::size_t bytes = kHeaderBytes + data_length + 1;
  const std::size_t chars = 1 + 2 * bytes;
  // Digits and checksum in one pass: the sum of all the line's bytes,
  // checksum included, is 0 modulo 256 when the checksum is right.
  if (data_length == 0 || chars > available ||
      DecodeAllHexDigitPairs(text + 1, bytes, available - 1, line.bytes.data()) != 0) {
    return 0;
  }
  line.raw_size = bytes - 1;
  return chars;
}

}  // namespace hexpoke

#endif  // HEXPOKE_RECORDS_RECORD_LINE_PARSER_H_
