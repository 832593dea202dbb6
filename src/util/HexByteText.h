// SPDX-License-Identifier: MIT
#ifndef HEXPOKE_UTIL_HEX_BYTE_TEXT_H_
#define HEXPOKE_UTIL_HEX_BYTE_TEXT_H_

#include <array>
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

// The value of the hex digit `c`, or for a character that is not one some
// value below 32: for a reader that checks the digits later anyway.
inline unsigned UncheckedDigitValue(char c) {
  static constexpr auto kValues = [] {
    std::array<std::uint8_t, 256> values{};
    for (unsigned code = 0; code < 256; ++code) {
      // A digit's low nibble, and 9 more for a letter (bit 6 set).
      values[code] = static_cast<std::uint8_t>((code & 0x0F) + 9 * (code >> 6 & 1));
    }
    return values;
  }();
  return kValues[static_cast<unsigned char>(c)];
}

// Writes the two characters of ByteToHexText(byte) at `p`.
inline void WriteHexPair(char* p, std::uint8_t byte) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  p[0] = kDigits[byte >> 4];
  p[1] = kDigits[byte & 0x0F];
}

// The two conversions for runs of bytes, without a string per byte:
//
// Writes the 2 * count characters of ByteToHexText for each byte at `p`, and
// returns p + 2 * count.
char* WriteHexTexts(char* p, const std::uint8_t* bytes, std::size_t count);
// The same, and sets `sum` to the bytes' sum modulo 256.
char* WriteHexTextsSummed(char* p, const std::uint8_t* bytes, std::size_t count,
                          std::uint8_t& sum);
// The same for a caller with room to spare: the 8 bytes from `bytes` on may
// be read, and the 16 characters from `p` on written, however few the
// bytes.
char* WriteHexTextsSummedWithRoom(char* p, const std::uint8_t* bytes, std::size_t count,
                                  std::uint8_t& sum);
// Sets out[i] to HexTextToByte of the pair at text + 2 * i, for i below
// `count`; cannot fail.
void HexPairsToBytes(const char* text, std::size_t count, std::uint8_t* out);
// The same for the pairs from the left that are two hex digits each: stops
// before the first pair that is not, and returns the number of bytes set.
std::size_t DecodeHexDigitPairs(const char* text, std::size_t count,
                                std::uint8_t* out);

// If the `count` pairs at `text` are all two hex digits each, sets out[i]
// to the byte of pair i, for i below `count`, and returns the bytes' sum
// modulo 256; if not, returns -1, and `out` holds anything. The characters
// from text + 2 * count up to text + readable may be read, and out[0] to
// out[15] may be written for fewer pairs.
// REQUIRES: readable >= 2 * count.
int DecodeAllHexDigitPairs(const char* text, std::size_t count,
                           std::size_t readable, std::uint8_t* out);

// The sum of the `count` bytes at `bytes`, modulo 256.
std::uint8_t ByteSum(const std::uint8_t* bytes, std::size_t count);

// Runs of bytes are converted a group at a time: 16 bytes in a 256-bit
// vector where the processor has AVX2 (x86-64 Linux and the like, chosen
// when the program starts), otherwise 8 in a 128-bit vector (SSE2, every
// x86-64) or 4 in a 64-bit word. All give what the pairs and bytes give one
// at a time. Tests turn the widest way off and on again, to hold each way
// to the pairs: returns whether it is in use after the call.
bool UseWideVectors(bool allowed);

}  // namespace hexpoke

#endif  // HEXPOKE_UTIL_HEX_BYTE_TEXT_H_
