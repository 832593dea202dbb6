#ifndef HEXPOKE_UTIL_HEX_BYTE_TEXT_H_
#define HEXPOKE_UTIL_HEX_BYTE_TEXT_H_

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace Util {

// A byte as exactly two uppercase hexadecimal digits, high digit first:
// 0x0A -> "0A", 0xFF -> "FF".
std::string ByteToHexText(std::uint8_t byte);

// Appends the two digits of ByteToHexText(byte) to `out`.
inline void AppendHexText(std::string& out, std::uint8_t byte);

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

// HexTextToByte for the two characters `first` and `second`; cannot fail.
inline std::uint8_t HexPairToByte(char first, char second);

// ---------------------------------------------------------------------------
// These two run for every byte of every file, so they are inline and table
// driven rather than going through a stream.

namespace hex_internal {

inline constexpr char kUpperDigits[] = "0123456789ABCDEF";

// Digit value of every char, or -1 for a char that is not a hex digit.
inline constexpr std::array<std::int8_t, 256> kDigitValue = [] {
  std::array<std::int8_t, 256> table{};
  for (int c = 0; c < 256; ++c) {
    if (c >= '0' && c <= '9') {
      table[c] = static_cast<std::int8_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      table[c] = static_cast<std::int8_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      table[c] = static_cast<std::int8_t>(c - 'A' + 10);
    } else {
      table[c] = -1;
    }
  }
  return table;
}();

inline int DigitValue(char c) {
  return kDigitValue[static_cast<unsigned char>(c)];
}

}  // namespace hex_internal

inline void AppendHexText(std::string& out, std::uint8_t byte) {
  out.push_back(hex_internal::kUpperDigits[byte >> 4]);
  out.push_back(hex_internal::kUpperDigits[byte & 0x0F]);
}

inline std::uint8_t HexPairToByte(char first, char second) {
  const int high = hex_internal::DigitValue(first);
  const int low = hex_internal::DigitValue(second);
  if (high >= 0) {
    // A non-digit second character ends the number after one digit.
    return static_cast<std::uint8_t>(low >= 0 ? high * 16 + low : high);
  }
  if (low < 0) return 0;  // no digit after an optional sign: nothing read
  if (first == '+') return static_cast<std::uint8_t>(low);
  if (first == '-') return static_cast<std::uint8_t>(-low);
  return 0;  // anything else before the digit stops the read at once
}

}  // namespace Util

#endif  // HEXPOKE_UTIL_HEX_BYTE_TEXT_H_
