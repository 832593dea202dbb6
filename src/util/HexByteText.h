#ifndef HEXPOKE_UTIL_HEX_BYTE_TEXT_H_
#define HEXPOKE_UTIL_HEX_BYTE_TEXT_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#if defined(__SSE2__) || defined(_M_X64) || \
    (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#endif

namespace hexpoke {

// A byte as exactly two uppercase hexadecimal digits, high digit first:
// 0x0A -> "0A", 0xFF -> "FF".
std::string ByteToHexText(std::uint8_t byte);

// Writes the two digits of ByteToHexText(byte) at `p`; returns p + 2.
inline char* WriteHexText(char* p, std::uint8_t byte);

// WriteHexText for each of `count` bytes; returns p + 2 * count.
inline char* WriteHexTexts(char* p, const std::uint8_t* bytes,
                           std::size_t count);

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

// out[i] = HexPairToByte(text[2 * i], text[2 * i + 1]) for i below `count`.
inline void HexPairsToBytes(const char* text, std::size_t count,
                            std::uint8_t* out);

// The same for text made only of hex digits: returns false, with `out` left
// unspecified, if any of the 2 * count characters is not a hex digit.
inline bool HexDigitPairsToBytes(const char* text, std::size_t count,
                                 std::uint8_t* out);

// ---------------------------------------------------------------------------
// These run for every byte of every file, so they are inline and table or
// vector driven rather than going through a stream.

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

// The two digits of every byte, "000102...FEFF".
inline constexpr std::array<char, 512> kDigitPairs = [] {
  std::array<char, 512> table{};
  for (std::size_t byte = 0; byte < 256; ++byte) {
    table[2 * byte] = kUpperDigits[byte >> 4];
    table[2 * byte + 1] = kUpperDigits[byte & 0x0F];
  }
  return table;
}();

// Decoding and encoding sixteen characters at a time, where the processor
// surely has SSE2 (every x86-64, and 32-bit x86 builds that ask for it).
#if defined(__SSE2__) || defined(_M_X64) || \
    (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#define HEXPOKE_HEX_SSE2 1

// Decodes the sixteen hex digits at `text` into eight bytes at `out`.
// Returns false, writing nothing, if any of them is not a hex digit.
inline bool SixteenDigitsToBytes(const char* text, std::uint8_t* out) {
  const __m128i chars =
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(text));
  // Unsigned "below n" as min(x, n - 1) == x.
  const __m128i digit = _mm_sub_epi8(chars, _mm_set1_epi8('0'));
  const __m128i is_digit =
      _mm_cmpeq_epi8(_mm_min_epu8(digit, _mm_set1_epi8(9)), digit);
  const __m128i letter = _mm_sub_epi8(_mm_or_si128(chars, _mm_set1_epi8(0x20)),
                                      _mm_set1_epi8('a'));
  const __m128i is_letter =
      _mm_cmpeq_epi8(_mm_min_epu8(letter, _mm_set1_epi8(5)), letter);
  if (_mm_movemask_epi8(_mm_or_si128(is_digit, is_letter)) != 0xFFFF) {
    return false;
  }
  const __m128i nibbles = _mm_or_si128(
      _mm_and_si128(is_digit, digit),
      _mm_and_si128(is_letter, _mm_add_epi8(letter, _mm_set1_epi8(10))));
  // In each 16-bit lane the first digit is the low byte: shift it up a
  // nibble and bring the second one down beside it.
  const __m128i pairs = _mm_or_si128(
      _mm_slli_epi16(_mm_and_si128(nibbles, _mm_set1_epi16(0x00FF)), 4),
      _mm_srli_epi16(nibbles, 8));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out),
                   _mm_packus_epi16(pairs, pairs));
  return true;
}

// Writes the 32 uppercase digits of the sixteen bytes at `bytes` at `out`.
inline void SixteenBytesToDigits(const std::uint8_t* bytes, char* out) {
  const __m128i value =
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
  const __m128i low_nibble = _mm_set1_epi8(0x0F);
  const __m128i high = _mm_and_si128(_mm_srli_epi16(value, 4), low_nibble);
  const __m128i low = _mm_and_si128(value, low_nibble);
  const auto to_digits = [](__m128i nibbles) {
    // '0' + n, and 7 more for the letters A to F.
    const __m128i letters = _mm_and_si128(
        _mm_cmpgt_epi8(nibbles, _mm_set1_epi8(9)), _mm_set1_epi8(7));
    return _mm_add_epi8(_mm_add_epi8(nibbles, _mm_set1_epi8('0')), letters);
  };
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                   to_digits(_mm_unpacklo_epi8(high, low)));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16),
                   to_digits(_mm_unpackhi_epi8(high, low)));
}
#endif

}  // namespace hex_internal

inline char* WriteHexText(char* p, std::uint8_t byte) {
  std::memcpy(p, &hex_internal::kDigitPairs[std::size_t{2} * byte], 2);
  return p + 2;
}

inline std::uint8_t HexPairToByte(char first, char second) {
  const int high = hex_internal::DigitValue(first);
  const int low = hex_internal::DigitValue(second);
  if ((high | low) >= 0) return static_cast<std::uint8_t>(high << 4 | low);
  // A non-digit second character ends the number after one digit.
  if (high >= 0) return static_cast<std::uint8_t>(high);
  if (low < 0) return 0;  // no digit after an optional sign: nothing read
  if (first == '+') return static_cast<std::uint8_t>(low);
  if (first == '-') return static_cast<std::uint8_t>(-low);
  return 0;  // anything else before the digit stops the read at once
}

inline bool HexDigitPairsToBytes(const char* text, std::size_t count,
                                 std::uint8_t* out) {
  std::size_t i = 0;
#ifdef HEXPOKE_HEX_SSE2
  if (count >= 8) {
    for (; i + 8 <= count; i += 8) {
      if (!hex_internal::SixteenDigitsToBytes(text + 2 * i, out + i)) {
        return false;
      }
    }
    // The last eight pairs again, overlapping what is done already.
    return i == count ||
           hex_internal::SixteenDigitsToBytes(text + 2 * (count - 8),
                                              out + count - 8);
  }
#endif
  for (; i < count; ++i) {
    const int high = hex_internal::DigitValue(text[2 * i]);
    const int low = hex_internal::DigitValue(text[2 * i + 1]);
    if ((high | low) < 0) return false;
    out[i] = static_cast<std::uint8_t>(high << 4 | low);
  }
  return true;
}

inline char* WriteHexTexts(char* p, const std::uint8_t* bytes,
                           std::size_t count) {
#ifdef HEXPOKE_HEX_SSE2
  if (count >= 16) {
    for (std::size_t i = 0; i + 16 <= count; i += 16) {
      hex_internal::SixteenBytesToDigits(bytes + i, p + 2 * i);
    }
    // The last sixteen bytes again, overlapping what is done already.
    hex_internal::SixteenBytesToDigits(bytes + count - 16,
                                       p + 2 * (count - 16));
    return p + 2 * count;
  }
#endif
  for (std::size_t i = 0; i < count; ++i) p = WriteHexText(p, bytes[i]);
  return p;
}

inline void HexPairsToBytes(const char* text, std::size_t count,
                            std::uint8_t* out) {
  if (HexDigitPairsToBytes(text, count, out)) return;
  // Rare: some pair is not two digits, and follows the stream's rules.
  for (std::size_t i = 0; i < count; ++i) {
    out[i] = HexPairToByte(text[2 * i], text[2 * i + 1]);
  }
}

}  // namespace hexpoke

#endif  // HEXPOKE_UTIL_HEX_BYTE_TEXT_H_
