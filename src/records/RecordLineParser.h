#ifndef HEXPOKE_RECORDS_RECORD_LINE_PARSER_H_
#define HEXPOKE_RECORDS_RECORD_LINE_PARSER_H_

#include <cstddef>
#include <memory>
#include <ostream>
#include <string_view>

#include "records/IntelHexRecord.h"

// Parses one whitespace-free word of an Intel HEX file as a record line.
//
// Returns a data or end-of-file record, or nullptr when the word is not one:
//  - silently for an empty word, a word of even length, a word that does not
//    start with ':', and a well-formed line of a type other than 00 and 01;
//  - with one line on `messages` when the number n of decoded bytes is not
//    L + 5 ("error len: size - >n L", in decimal; a lone ':' gives n = 0 and
//    L = 0), or when the checksum is wrong ("error checksum. XX", XX being the
//    checksum the line should carry).
// Characters are decoded in pairs by Util::HexPairToByte, so non-digits are
// not rejected as such; the length and checksum checks judge the result.
std::unique_ptr<CAbstractIntelHexRecord> ParseRecordLine(
    std::string_view text, std::ostream& messages);

// The same, for a word of `length` characters of which only `head`, its
// first characters, was kept. A word longer than record_format::kMaxLineChars
// can never be a record line, so a reader need keep no more of a word than
// that many characters plus one.
// REQUIRES: head.size() == min(length, kMaxLineChars + 1) or more.
std::unique_ptr<CAbstractIntelHexRecord> ParseRecordLine(
    std::string_view head, std::size_t length, std::ostream& messages);

#endif  // HEXPOKE_RECORDS_RECORD_LINE_PARSER_H_
