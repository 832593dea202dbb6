#include "util/HexByteText.h"

#include <array>
#include <cstring>

#include "util/ErrorMsg.h"

#if defined(__SSE2__) || defined(_M_X64) || \
    (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#define HEXPOKE_HEX_SSE2 1
#include <emmintrin.h>
#endif

namespace hexpoke {

namespace {

// These run for every character of every file, so they look digits up in
// tables rather than going through a stream.

// Digit value of every char, or -1 for a char that is not a hex digit.
constexpr std::array<std::int8_t, 256> kDigitValue = [] {
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

// The two digits of every byte, in the order they are written: "00", "01",
// ... "FF".
constexpr std::array<std::array<char, 2>, 256> kDigitPairs = [] {
  constexpr char kUpperDigits[] = "0123456789ABCDEF";
  std::array<std::array<char, 2>, 256> table{};
  for (std::size_t byte = 0; byte < 256; ++byte) {
    table[byte] = {kUpperDigits[byte >> 4], kUpperDigits[byte & 0x0F]};
  }
  return table;
}();

int DigitValue(char c) { return kDigitValue[static_cast<unsigned char>(c)]; }

std::uint8_t PairToByte(char first, char second) {
  const int high = DigitValue(first);
  const int low = DigitValue(second);
  if ((high | low) >= 0) return static_cast<std::uint8_t>(high << 4 | low);
  // A non-digit second character ends the number after one digit.
  if (high >= 0) return static_cast<std::uint8_t>(high);
  if (low < 0) return 0;  // no digit after an optional sign: nothing read
  if (first == '+') return static_cast<std::uint8_t>(low);
  if (first == '-') return static_cast<std::uint8_t>(-low);
  return 0;  // anything else before the digit stops the read at once
}

#ifdef HEXPOKE_HEX_SSE2
// Decodes the sixteen characters at `text`, if all are hex digits, into
// eight bytes at `out`. Returns false, writing nothing, if any is not.
bool SixteenDigitsToBytes(const char* text, std::uint8_t* out) {
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
#endif

}  // namespace

std::string ByteToHexText(std::uint8_t byte) {
  std::string text(2, '0');
  WriteHexTexts(&text[0], &byte, 1);
  return text;
}

std::uint8_t HexTextToByte(std::string_view text) {
  if (text.size() != 2) throw new Util::ErrorMsg("Hex convert error");
  return PairToByte(text[0], text[1]);
}

char* WriteHexTexts(char* p, const std::uint8_t* bytes, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i, p += 2) {
    std::memcpy(p, kDigitPairs[bytes[i]].data(), 2);
  }
  return p;
}

void HexPairsToBytes(const char* text, std::size_t count, std::uint8_t* out) {
  std::size_t i = 0;
  // Nearly every pair is two digits, which take the short way.
#ifdef HEXPOKE_HEX_SSE2
  if (count >= 8) {
    while (i + 8 <= count && SixteenDigitsToBytes(text + 2 * i, out + i)) {
      i += 8;
    }
    // The last eight pairs again, overlapping what is done already.
    if (i + 8 > count &&
        (i == count || SixteenDigitsToBytes(text + 2 * (count - 8),
                                            out + count - 8))) {
      return;
    }
  }
#endif
  for (; i < count; ++i) {
    const int high = DigitValue(text[2 * i]);
    const int low = DigitValue(text[2 * i + 1]);
    if ((high | low) < 0) break;
    out[i] = static_cast<std::uint8_t>(high << 4 | low);
  }
  for (; i < count; ++i) out[i] = PairToByte(text[2 * i], text[2 * i + 1]);
}

}  // namespace hexpoke
