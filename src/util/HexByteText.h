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

// The two conversions for runs of bytes, without a string per byte:
//
// Writes the 2 * count characters of ByteToHexText for each byte at `p`, and
// returns p + 2 * count.
char* WriteHexTexts(char* p, const std::uint8_t* bytes, std::size_t count);
// Sets out[i] to HexTextToByte of the pair at text + 2 * i, for i below
// `count`; cannot fail.
void HexPairsToBytes(const char* text, std::size_t count, std::uint8_t* out);
// The same for the pairs from the left that are two hex digits each: stops
// before the first pair that is not, and returns the number of bytes set.
std::size_t DecodeHexDigitPairs(const char* text, std::size_t count,
                                std::uint8_t* out);

// The sum of the `count` bytes at `bytes`, modulo 256.
std::uint8_t ByteSum(const std::uint8_t* bytes, std::size_t count);

}  // namespace hexpoke

#endif  // HEXPOKE_UTIL_HEX_BYTE_TEXT_H_
