// SPDX-License-Identifier: MIT
#ifndef HEXPOKE_UTIL_HEX_BYTE_TEXT_H_
#define HEXPOKE_UTIL_HEX_BYTE_TEXT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace hexpoke {

// A byte as exactly two uppercase hexadecimal digits, high digit first:
// 0x0A -> "0A", 0xFF -> "FF".
std::string ByteToHexText(std::uint8_t byte);

// Reads a two-character text as a byte, with exactly the rules of formatted
// int extraction from a string stream whose flags are std::ios::hex (which
// also turns off white-space skipping), keeping the low 8 bits:
//   an optional '+' or '-', then hex digits of either case for as long as
//   they last; no digit at all reads as 0.
// So "7f" -> 0x7F, "1g" -> 0x01, "-1" -> 0xFF, "-f" -> 0xF1, " f" -> 0x00,
// "zz" -> 0x00. Malformed digits are not an error.
//
// Throws a new Util::ErrorMsg("Hex convert error") if `text` is not exactly
// two characters long.
std::uint8_t HexTextToByte(std::string_view text);

// The two conversions for runs of bytes, without a string per byte. Each
// returns the sum of the bytes, modulo 256, which a record's checksum needs.
//
// Decodes `count` pairs of characters: sets out[i] to HexTextToByte of the
// two characters at text + 2 * i, for i below `count`. Sets `all_digits` to
// whether all 2 * count characters are hex digits.
std::uint8_t DecodeHexPairs(const char* text, std::size_t count,
                            std::uint8_t* out, bool& all_digits);
// Encodes `count` bytes: writes ByteToHexText of each byte at `bytes` to the
// 2 * count characters from `out` on.
std::uint8_t EncodeHexPairs(const std::uint8_t* bytes, std::size_t count,
                            char* out);

}  // namespace hexpoke

#endif  // HEXPOKE_UTIL_HEX_BYTE_TEXT_H_
