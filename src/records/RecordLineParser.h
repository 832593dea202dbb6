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
//
// Without `messages` it prints nothing and takes only a line whose every
// character after the start code is a hex digit: for a reader that has the
// text ahead of a word in memory and takes the word's end to be where the
// line's length byte puts it, which holds only if no white space lies
// before it.
// REQUIRES: as the head-only ParseRecordLine.
bool DecodeRecordLine(std::string_view head, std::uint64_t length,
                      std::ostream* messages, DecodedRecordLine& line);

// The type field of a word, whatever its length byte and checksum say: the
// pair of characters 7 and 8, read as HexTextToByte reads them, of a word
// that starts with ':' and has an odd length of 9 or more; nullopt for any
// other word, which has no type field or is no record line.
// REQUIRES: as the head-only ParseRecordLine.
std::optional<std::uint8_t> RecordTypeField(std::string_view head,
                                            std::uint64_t length);

}  // namespace hexpoke

#endif  // HEXPOKE_RECORDS_RECORD_LINE_PARSER_H_
