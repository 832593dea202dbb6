// SPDX-License-Identifier: MIT
#include "util/HexByteText.h"

#include <array>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "util/ErrorMsg.h"

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

// HexTextToByte of a pair that is not two hex digits.
std::uint8_t OtherPairToByte(char first, char second) {
  const int high = DigitValue(first);
  const int low = DigitValue(second);
  // A non-digit second character ends the number after one digit.
  if (high >= 0) return static_cast<std::uint8_t>(high);
  if (low < 0) return 0;  // no digit after an optional sign: nothing read
  if (first == '+') return static_cast<std::uint8_t>(low);
  if (first == '-') return static_cast<std::uint8_t>(-low);
  return 0;  // anything else before the digit stops the read at once
}

// DecodeHexPairs one pair at a time. `digits` is or-ed with every
// character's digit value, so that it turns negative at the first
// character that is not a hex digit.
unsigned DecodeOneByOne(const char* text, std::size_t count, std::uint8_t* out,
                        int& digits) {
  unsigned sum = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const char first = text[2 * i];
    const char second = text[2 * i + 1];
    const int pair = DigitValue(first) | DigitValue(second);
    digits |= pair;
    out[i] = pair >= 0 ? static_cast<std::uint8_t>(DigitValue(first) << 4 |
                                                   DigitValue(second))
                       : OtherPairToByte(first, second);
    sum += out[i];
  }
  return sum;
}

unsigned EncodeOneByOne(const std::uint8_t* bytes, std::size_t count, char* out) {
  unsigned sum = 0;
  for (std::size_t i = 0; i < count; ++i) {
    std::memcpy(out + 2 * i, kDigitPairs[bytes[i]].data(), 2);
    sum += bytes[i];
  }
  return sum;
}

#if defined(__SSE2__)

// With SSE2, 8 bytes go at a time, as 16 characters in a 128-bit vector. A
// count that is not a multiple of 8 ends with a group that overlaps the one
// before it: its first bytes, done already, are done again and left out of
// the sum. 4 to 7 bytes go as one group of two runs of 4, the first ones
// and the last ones, which overlap. Fewer go one by one.

__m128i Load8(const void* p) {
  return _mm_loadl_epi64(static_cast<const __m128i*>(p));
}
__m128i Load4(const void* p) {
  std::int32_t word;
  std::memcpy(&word, p, sizeof word);
  return _mm_cvtsi32_si128(word);
}

// Decodes the 16 characters of `chars` as 8 pairs into the low half of
// `bytes` (the high half 0), and returns whether all of them are hex
// digits; if not, the bytes are anything.
bool DecodeGroup(__m128i chars, __m128i& bytes) {
  const __m128i digit = _mm_sub_epi8(chars, _mm_set1_epi8('0'));
  const __m128i letter = _mm_sub_epi8(_mm_or_si128(chars, _mm_set1_epi8(0x20)),
                                      _mm_set1_epi8('a'));
  // x < n, unsigned, as min(x, n - 1) == x.
  const __m128i is_digit =
      _mm_cmpeq_epi8(_mm_min_epu8(digit, _mm_set1_epi8(9)), digit);
  const __m128i is_letter =
      _mm_cmpeq_epi8(_mm_min_epu8(letter, _mm_set1_epi8(5)), letter);
  const __m128i values = _mm_or_si128(
      _mm_and_si128(is_digit, digit),
      _mm_and_si128(is_letter, _mm_add_epi8(letter, _mm_set1_epi8(10))));
  // Each 16-bit lane holds a pair, its first digit in the low byte.
  const __m128i pairs = _mm_or_si128(
      _mm_slli_epi16(_mm_and_si128(values, _mm_set1_epi16(0x0F)), 4),
      _mm_srli_epi16(values, 8));
  bytes = _mm_packus_epi16(pairs, _mm_setzero_si128());
  return _mm_movemask_epi8(_mm_or_si128(is_digit, is_letter)) == 0xFFFF;
}

// The 16 characters of the 8 bytes in the low half of `group`.
__m128i EncodeGroup(__m128i group) {
  // A byte to each 16-bit lane, then in the lane its high nibble first.
  const __m128i lanes = _mm_unpacklo_epi8(group, _mm_setzero_si128());
  const __m128i nibbles = _mm_or_si128(
      _mm_srli_epi16(lanes, 4),
      _mm_slli_epi16(_mm_and_si128(lanes, _mm_set1_epi16(0x0F)), 8));
  // '0' + n, and 7 more from A on.
  const __m128i letters = _mm_and_si128(_mm_cmpgt_epi8(nibbles, _mm_set1_epi8(9)),
                                        _mm_set1_epi8('A' - '0' - 10));
  return _mm_add_epi8(_mm_add_epi8(nibbles, _mm_set1_epi8('0')), letters);
}

// Masks of a group's last n bytes, loaded from kMasks + n, and of its first
// n, from kMasks + 16 - n.
constexpr unsigned char kMasks[24] = {0, 0, 0, 0, 0, 0, 0, 0,
                                      0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                      0, 0, 0, 0, 0, 0, 0, 0};

// The sum of the bytes of a group (its high half 0), of all of them, of
// its last n or of its first 4 and last n.
unsigned GroupSum(__m128i group) {
  return static_cast<unsigned>(_mm_cvtsi128_si32(_mm_sad_epu8(group, _mm_setzero_si128())));
}
unsigned LastSum(__m128i group, std::size_t n) {
  return GroupSum(_mm_and_si128(group, Load8(kMasks + n)));
}
unsigned HalvesSum(__m128i group, std::size_t n) {
  return GroupSum(_mm_and_si128(group, Load8(kMasks + 12))) + LastSum(group, n);
}

// The 4 to 7 bytes in the halves of `group`, at `out`.
void StoreHalves(std::uint8_t* out, std::size_t count, __m128i group) {
  const auto first = static_cast<std::int32_t>(_mm_cvtsi128_si32(group));
  const auto last = static_cast<std::int32_t>(_mm_cvtsi128_si32(_mm_srli_si128(group, 4)));
  std::memcpy(out + count - 4, &last, 4);
  std::memcpy(out, &first, 4);
}

// Decodes what it can of the pairs; returns how many it did, their sum in
// `sum`.
std::size_t DecodeGroups(const char* text, std::size_t count, std::uint8_t* out,
                         unsigned& sum) {
  __m128i group;
  if (count < 4) return 0;
  if (count < 8) {
    const __m128i chars = _mm_unpacklo_epi64(Load8(text), Load8(text + 2 * count - 8));
    if (!DecodeGroup(chars, group)) return 0;
    StoreHalves(out, count, group);
    sum = HalvesSum(group, count - 4);
    return count;
  }
  std::size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    if (!DecodeGroup(_mm_loadu_si128(reinterpret_cast<const __m128i*>(text + 2 * i)), group)) {
      return i;
    }
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i), group);
    sum += GroupSum(group);
  }
  if (i != count && DecodeGroup(_mm_loadu_si128(reinterpret_cast<const __m128i*>(
                                    text + 2 * (count - 8))),
                                group)) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + count - 8), group);
    sum += LastSum(group, count - i);
    i = count;
  }
  return i;
}

std::size_t EncodeGroups(const std::uint8_t* bytes, std::size_t count, char* out,
                         unsigned& sum) {
  if (count < 4) return 0;
  if (count < 8) {
    const __m128i group = _mm_unpacklo_epi32(Load4(bytes), Load4(bytes + count - 4));
    const __m128i text = EncodeGroup(group);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 2 * count - 8), _mm_srli_si128(text, 8));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), text);
    sum = HalvesSum(group, count - 4);
    return count;
  }
  std::size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    const __m128i group = Load8(bytes + i);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i), EncodeGroup(group));
    sum += GroupSum(group);
  }
  if (i != count) {
    const __m128i group = Load8(bytes + count - 8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * (count - 8)), EncodeGroup(group));
    sum += LastSum(group, count - i);
  }
  return count;
}

#endif

}  // namespace

std::string ByteToHexText(std::uint8_t byte) {
  return std::string(kDigitPairs[byte].data(), 2);
}

std::uint8_t HexTextToByte(std::string_view text) {
  if (text.size() != 2) throw new Util::ErrorMsg("Hex convert error");
  std::uint8_t byte;
  int digits = 0;
  DecodeOneByOne(text.data(), 1, &byte, digits);
  return byte;
}

std::uint8_t DecodeHexPairs(const char* text, std::size_t count,
                            std::uint8_t* out, bool& all_digits) {
  unsigned sum = 0;
#if defined(__SSE2__)
  const std::size_t i = DecodeGroups(text, count, out, sum);
#else
  const std::size_t i = 0;
#endif
  int digits = 0;
  sum += DecodeOneByOne(text + 2 * i, count - i, out + i, digits);
  all_digits = digits >= 0;
  return static_cast<std::uint8_t>(sum);
}

std::uint8_t EncodeHexPairs(const std::uint8_t* bytes, std::size_t count,
                            char* out) {
  unsigned sum = 0;
#if defined(__SSE2__)
  const std::size_t i = EncodeGroups(bytes, count, out, sum);
#else
  const std::size_t i = 0;
#endif
  return static_cast<std::uint8_t>(sum + EncodeOneByOne(bytes + i, count - i, out + 2 * i));
}

}  // namespace hexpoke
