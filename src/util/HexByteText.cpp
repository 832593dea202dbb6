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

// Runs of bytes are read and written a group at a time: sixteen characters
// in one vector where the machine has SSE2 (every x86-64), otherwise eight
// in a 64-bit word, or four table entries. All give what the pairs give one
// by one.

namespace {

#if defined(__SSE2__)

__m128i Load16(const void* p) {
  return _mm_loadu_si128(static_cast<const __m128i*>(p));
}
__m128i Load8(const void* p) {
  return _mm_loadl_epi64(static_cast<const __m128i*>(p));
}

// Decodes the 16 characters at `text` into 8 bytes at `out`, if they are
// all hex digits; returns whether they were.
bool DecodeGroup(const char* text, std::uint8_t* out) {
  const __m128i chars = Load16(text);
  const __m128i digit = _mm_sub_epi8(chars, _mm_set1_epi8('0'));
  const __m128i letter = _mm_sub_epi8(_mm_or_si128(chars, _mm_set1_epi8(0x20)),
                                      _mm_set1_epi8('a'));
  // x < n, unsigned, as min(x, n - 1) == x.
  const __m128i is_digit =
      _mm_cmpeq_epi8(_mm_min_epu8(digit, _mm_set1_epi8(9)), digit);
  const __m128i is_letter =
      _mm_cmpeq_epi8(_mm_min_epu8(letter, _mm_set1_epi8(5)), letter);
  if (_mm_movemask_epi8(_mm_or_si128(is_digit, is_letter)) != 0xFFFF) {
    return false;
  }
  const __m128i values = _mm_or_si128(
      _mm_and_si128(is_digit, digit),
      _mm_and_si128(is_letter, _mm_add_epi8(letter, _mm_set1_epi8(10))));
  // Each 16-bit lane holds a pair, its first digit in the low byte.
  const __m128i bytes = _mm_or_si128(
      _mm_slli_epi16(_mm_and_si128(values, _mm_set1_epi16(0x0F)), 4),
      _mm_srli_epi16(values, 8));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(bytes, bytes));
  return true;
}

// Writes the 16 characters of the 8 bytes at `bytes`.
void EncodeGroup(const std::uint8_t* bytes, char* out) {
  // A byte to each 16-bit lane, then in the lane its high nibble first.
  const __m128i lanes = _mm_unpacklo_epi8(Load8(bytes), _mm_setzero_si128());
  const __m128i nibbles = _mm_or_si128(
      _mm_srli_epi16(lanes, 4),
      _mm_slli_epi16(_mm_and_si128(lanes, _mm_set1_epi16(0x0F)), 8));
  // '0' + n, and 7 more from A on.
  const __m128i letters = _mm_and_si128(_mm_cmpgt_epi8(nibbles, _mm_set1_epi8(9)),
                                        _mm_set1_epi8('A' - '0' - 10));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                   _mm_add_epi8(_mm_add_epi8(nibbles, _mm_set1_epi8('0')), letters));
}

// Bytes go 8 to a group. A count that is not a multiple of 8 ends with a
// group that overlaps the one before it, decoded or written again.

std::size_t DecodeGroups(const char* text, std::size_t count, std::uint8_t* out) {
  std::size_t i = 0;
  while (i + 8 <= count && DecodeGroup(text + 2 * i, out + i)) i += 8;
  if (i < count && count >= 8 && i + 8 > count &&
      DecodeGroup(text + 2 * (count - 8), out + count - 8)) {
    i = count;
  }
  return i;
}

std::size_t EncodeGroups(char* p, const std::uint8_t* bytes, std::size_t count) {
  if (count < 8) return 0;
  for (std::size_t i = 0; i + 8 <= count; i += 8) EncodeGroup(bytes + i, p + 2 * i);
  if (count % 8 != 0) EncodeGroup(bytes + count - 8, p + 2 * (count - 8));
  return count;
}

// The sum of the bytes, as far as they come to groups of 8, and how many
// were summed: with a last group that overlaps the one before it, whose
// bytes summed already a mask clears.
unsigned SumGroups(const std::uint8_t* bytes, std::size_t count, std::size_t& summed) {
  static constexpr unsigned char kNewBytes[16] = {
      0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  const __m128i zero = _mm_setzero_si128();
  __m128i sums = zero;  // two 64-bit lanes
  std::size_t i = 0;
  for (; i + 16 <= count; i += 16) {
    sums = _mm_add_epi64(sums, _mm_sad_epu8(Load16(bytes + i), zero));
  }
  if (i + 8 <= count) {
    sums = _mm_add_epi64(sums, _mm_sad_epu8(Load8(bytes + i), zero));
    i += 8;
  }
  if (i < count && count >= 8) {
    const __m128i last = _mm_and_si128(Load8(bytes + count - 8),
                                       Load8(kNewBytes + (count - i)));
    sums = _mm_add_epi64(sums, _mm_sad_epu8(last, zero));
    i = count;
  }
  summed = i;
  return static_cast<unsigned>(_mm_cvtsi128_si32(sums) +
                               _mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
}

#else

constexpr std::uint64_t kOnes = 0x0101010101010101u;
constexpr std::uint64_t kHighBits = 0x8080808080808080u;
constexpr std::uint64_t kLowNibbles = 0x0F0F0F0F0F0F0F0Fu;
constexpr std::uint64_t kLaneLowBytes = 0x00FF00FF00FF00FFu;

// Between memory and a word whose low byte is the first one in memory.
std::uint64_t LittleEndian(std::uint64_t word) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  return __builtin_bswap64(word);
#else
  return word;
#endif
}

// The high bit of each byte set where that byte is `low` or more, for bytes
// below 0x80 (larger ones may carry into their neighbours).
std::uint64_t AtLeast(std::uint64_t group, unsigned low) {
  return group + (0x80 - low) * kOnes;
}

// Whether every character of the group is a hex digit of either case.
bool AllHexDigits(std::uint64_t group) {
  const std::uint64_t digits = AtLeast(group, '0') & ~AtLeast(group, '9' + 1);
  const std::uint64_t folded = group | 0x20 * kOnes;
  const std::uint64_t letters = AtLeast(folded, 'a') & ~AtLeast(folded, 'f' + 1);
  // A byte of 0x80 or more is no digit, whatever its neighbours made of it.
  return ((digits | letters) & ~group & kHighBits) == kHighBits;
}

// Decodes the leading groups of 8 characters that are all hex digits into
// 4 bytes each, and returns how many bytes that made.
std::size_t DecodeGroups(const char* text, std::size_t count, std::uint8_t* out) {
  std::size_t i = 0;
  for (; i + 4 <= count; i += 4) {
    std::uint64_t group;
    std::memcpy(&group, text + 2 * i, sizeof group);
    group = LittleEndian(group);
    if (!AllHexDigits(group)) break;
    // Each digit's value: its low nibble, plus 9 for a letter (bit 6 set).
    const std::uint64_t values =
        (group & kLowNibbles) + ((group >> 6) & kOnes) * 9;
    // In each 16-bit lane, its first digit's value times 16 plus its second;
    // then the four lanes' low bytes together, first in memory.
    std::uint64_t bytes = ((values << 4) | (values >> 8)) & kLaneLowBytes;
    bytes = (bytes | bytes >> 8) & 0x0000FFFF0000FFFFu;
    bytes = LittleEndian(bytes | bytes >> 16);
    std::memcpy(out + i, &bytes, 4);
  }
  return i;
}

unsigned SumGroups(const std::uint8_t* bytes, std::size_t count, std::size_t& summed) {
  // Eight bytes to a word, added up in its four 16-bit lanes: a word adds
  // at most 510 to a lane, so 128 words can be added before a lane could
  // carry into the next. The order of the bytes does not change the sum.
  unsigned sum = 0;
  std::size_t i = 0;
  while (i + 8 <= count) {
    std::uint64_t lanes = 0;
    for (int words = 0; words < 128 && i + 8 <= count; ++words, i += 8) {
      std::uint64_t word;
      std::memcpy(&word, bytes + i, sizeof word);
      lanes += (word & kLaneLowBytes) + ((word >> 8) & kLaneLowBytes);
    }
    sum += static_cast<unsigned>(lanes + (lanes >> 16) + (lanes >> 32) +
                                 (lanes >> 48)) & 0xFFFFu;
  }
  summed = i;
  return sum;
}

std::size_t EncodeGroups(char* p, const std::uint8_t* bytes, std::size_t count) {
  std::size_t i = 0;
  for (; i + 4 <= count; i += 4, p += 8) {
    std::memcpy(p, kDigitPairs[bytes[i]].data(), 2);
    std::memcpy(p + 2, kDigitPairs[bytes[i + 1]].data(), 2);
    std::memcpy(p + 4, kDigitPairs[bytes[i + 2]].data(), 2);
    std::memcpy(p + 6, kDigitPairs[bytes[i + 3]].data(), 2);
  }
  return i;
}

#endif

}  // namespace

char* WriteHexTexts(char* p, const std::uint8_t* bytes, std::size_t count) {
  const std::size_t i = EncodeGroups(p, bytes, count);
  p += 2 * i;
  for (std::size_t j = i; j < count; ++j, p += 2) {
    std::memcpy(p, kDigitPairs[bytes[j]].data(), 2);
  }
  return p;
}

std::uint8_t ByteSum(const std::uint8_t* bytes, std::size_t count) {
  std::size_t i = 0;
  unsigned sum = count < 8 ? 0 : SumGroups(bytes, count, i);
  for (; i < count; ++i) sum += bytes[i];
  return static_cast<std::uint8_t>(sum);
}

namespace {

// The pairs from the left that are two hex digits, one pair at a time;
// returns how many.
inline std::size_t DecodeDigitPairsOneByOne(const char* text, std::size_t count,
                                            std::uint8_t* out) {
  std::size_t i = 0;
  for (; i < count; ++i) {
    const int high = DigitValue(text[2 * i]);
    const int low = DigitValue(text[2 * i + 1]);
    if ((high | low) < 0) break;
    out[i] = static_cast<std::uint8_t>(high << 4 | low);
  }
  return i;
}

}  // namespace

std::size_t DecodeHexDigitPairs(const char* text, std::size_t count,
                                std::uint8_t* out) {
  const std::size_t i = DecodeGroups(text, count, out);
  return i + DecodeDigitPairsOneByOne(text + 2 * i, count - i, out + i);
}

void HexPairsToBytes(const char* text, std::size_t count, std::uint8_t* out) {
  // Nearly every pair is two digits, which take the short ways; from the
  // first pair that is not, the stream's rules. Too few for a group, the
  // pairs go one by one at once.
  std::size_t i = count < 8 ? DecodeDigitPairsOneByOne(text, count, out)
                            : DecodeHexDigitPairs(text, count, out);
  for (; i < count; ++i) out[i] = PairToByte(text[2 * i], text[2 * i + 1]);
}

}  // namespace hexpoke
