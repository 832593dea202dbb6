// SPDX-License-Identifier: MIT
#include "util/HexByteText.h"

#include <array>
#include <cstring>
#include <initializer_list>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
// Where the compiler can build code for AVX2 apart from the rest, it does,
// and the processor it runs on decides whether that code is used. Not for
// Windows: there GCC cannot align the stack for 256-bit values it spills.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(_WIN32)
#define HEXPOKE_WIDE_VECTORS 1
#include <immintrin.h>
#else
#define HEXPOKE_WIDE_VECTORS 0
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

// Runs of bytes are read and written a group at a time (see UseWideVectors
// in the header): 16 bytes in a 256-bit vector where AVX2 is in use, 8 in
// a 128-bit one with SSE2, otherwise 4 in a 64-bit word or four table
// entries. Pairs too few for a group go one by one. All give what the pairs
// give one by one.

namespace {

#if defined(__SSE2__)

__m128i Load16(const void* p) {
  return _mm_loadu_si128(static_cast<const __m128i*>(p));
}
__m128i Load8(const void* p) {
  return _mm_loadl_epi64(static_cast<const __m128i*>(p));
}

// Decodes the 16 characters at `text` as 8 pairs into the low half of
// `bytes` (the high half 0), and returns a mask with bit i set where
// character i is a hex digit; pairs that are not two digits decode to
// anything.
unsigned DecodeGroupMasked(const char* text, __m128i& bytes) {
  const __m128i chars = Load16(text);
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
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(is_digit, is_letter)));
}

void Store8(std::uint8_t* out, __m128i bytes) {
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out), bytes);
}

// Decodes the 16 characters at `text` into 8 bytes at `out`, if they are
// all hex digits; returns whether they were.
bool DecodeGroup(const char* text, std::uint8_t* out) {
  __m128i bytes;
  if (DecodeGroupMasked(text, bytes) != 0xFFFF) return false;
  Store8(out, bytes);
  return true;
}

// Masks for a group's first n bytes, loaded from kFirstBytes + 8 - n, and
// for its last n bytes, from kLastBytes + n.
constexpr unsigned char kFirstBytes[16] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                           0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0};
constexpr unsigned char kLastBytes[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF,
                                          0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// Writes the 16 characters of the 8 bytes in the low half of `group`.
void EncodeGroup(__m128i group, char* out) {
  // A byte to each 16-bit lane, then in the lane its high nibble first.
  const __m128i lanes = _mm_unpacklo_epi8(group, _mm_setzero_si128());
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
  for (std::size_t i = 0; i + 8 <= count; i += 8) EncodeGroup(Load8(bytes + i), p + 2 * i);
  if (count % 8 != 0) EncodeGroup(Load8(bytes + count - 8), p + 2 * (count - 8));
  return count;
}

// The sum of the bytes, as far as they come to groups of 8, and how many
// were summed: with a last group that overlaps the one before it, whose
// bytes summed already a mask clears.
unsigned SumGroups(const std::uint8_t* bytes, std::size_t count, std::size_t& summed) {
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
                                       Load8(kLastBytes + (count - i)));
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

// The pairs from the left that are two hex digits, one pair at a time;
// returns how many.
std::size_t DecodeDigitPairsOneByOne(const char* text, std::size_t count,
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

// Decodes the `count` pairs at `text` one at a time into `out`; returns
// their sum modulo 256, or -1 if some pair is not two hex digits.
int DecodeAllPairsOneByOne(const char* text, std::size_t count, std::uint8_t* out) {
  int not_digits = 0;
  unsigned sum = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const int high = DigitValue(text[2 * i]);
    const int low = DigitValue(text[2 * i + 1]);
    not_digits |= high | low;
    out[i] = static_cast<std::uint8_t>(static_cast<unsigned>(high) << 4 |
                                       static_cast<unsigned>(low));
    sum += out[i];
  }
  return not_digits < 0 ? -1 : static_cast<int>(sum & 0xFF);
}

// WriteHexTextsSummed and DecodeAllHexDigitPairs without the wide vectors.

char* WriteSummedNarrow(char* p, const std::uint8_t* bytes, std::size_t count,
                        std::uint8_t& sum) {
#if defined(__SSE2__)
  // Text and sum in one pass, a group at a time, the last one overlapping
  // the one before it: its text is written again, and only its new bytes
  // are summed.
  if (count >= 8) {
    const __m128i zero = _mm_setzero_si128();
    __m128i sums = zero;
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
      const __m128i group = Load8(bytes + i);
      EncodeGroup(group, p + 2 * i);
      sums = _mm_add_epi64(sums, _mm_sad_epu8(group, zero));
    }
    if (i < count) {
      const __m128i group = Load8(bytes + count - 8);
      EncodeGroup(group, p + 2 * (count - 8));
      sums = _mm_add_epi64(
          sums, _mm_sad_epu8(_mm_and_si128(group, Load8(kLastBytes + (count - i))), zero));
    }
    // Load8 leaves each group's high half 0: the sum is in the low lane.
    sum = static_cast<std::uint8_t>(_mm_cvtsi128_si32(sums));
    return p + 2 * count;
  }
#endif
  unsigned total = 0;
  for (std::size_t i = 0; i < count; ++i, p += 2) {
    std::memcpy(p, kDigitPairs[bytes[i]].data(), 2);
    total += bytes[i];
  }
  sum = static_cast<std::uint8_t>(total);
  return p;
}

int DecodeAllNarrow(const char* text, std::size_t count, std::size_t readable,
                    std::uint8_t* out) {
#if defined(__SSE2__)
  // Digits and sum in one pass, a group at a time. A last group that would
  // go past the pairs overlaps the one before it, or, for fewer pairs than
  // a group, reads on past them where it may; either way only its new
  // bytes are summed.
  const __m128i zero = _mm_setzero_si128();
  __m128i sums = zero;
  __m128i bytes;
  std::size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    if (DecodeGroupMasked(text + 2 * i, bytes) != 0xFFFF) return -1;
    Store8(out + i, bytes);
    sums = _mm_add_epi64(sums, _mm_sad_epu8(bytes, zero));
  }
  const std::size_t rest = count - i;
  if (rest != 0) {
    if (count >= 8) {
      if (DecodeGroupMasked(text + 2 * (count - 8), bytes) != 0xFFFF) return -1;
      Store8(out + count - 8, bytes);
      bytes = _mm_and_si128(bytes, Load8(kLastBytes + rest));
    } else if (readable >= 16) {
      const unsigned wanted = (1u << (2 * rest)) - 1;
      if ((DecodeGroupMasked(text, bytes) & wanted) != wanted) return -1;
      Store8(out, bytes);
      bytes = _mm_and_si128(bytes, Load8(kFirstBytes + 8 - rest));
    } else {
      return DecodeAllPairsOneByOne(text, count, out);
    }
    sums = _mm_add_epi64(sums, _mm_sad_epu8(bytes, zero));
  }
  // Every group's high half is 0, so the sum is in the low lane alone.
  return _mm_cvtsi128_si32(sums) & 0xFF;
#else
  (void)readable;
  const std::size_t i = DecodeGroups(text, count, out);
  if (DecodeAllPairsOneByOne(text + 2 * i, count - i, out + i) < 0) return -1;
  return ByteSum(out, count);
#endif
}

#if HEXPOKE_WIDE_VECTORS

#define HEXPOKE_AVX2 __attribute__((target("avx2")))

// The ways with AVX2, apart from the narrower ones' names.
namespace avx2 {

bool InProcessor() {
  // True only where the operating system saves the 256-bit registers too.
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") != 0;
}

const bool kInProcessor = InProcessor();
bool g_in_use = kInProcessor;

// Constants, each as 32 bytes in memory: one load each.
struct alignas(32) Constant {
  std::uint8_t bytes[32];
};

constexpr Constant Repeated(std::initializer_list<std::uint8_t> pattern) {
  Constant constant{};
  for (std::size_t i = 0; i < 32; ++i) constant.bytes[i] = pattern.begin()[i % pattern.size()];
  return constant;
}

// Which kinds of character a character's high nibble allows, and which its
// low nibble: bit 0 for '0' to '9', bit 1 for 'A' to 'F' and 'a' to 'f'. A
// hex digit is a character whose two nibbles allow one kind in common.
constexpr Constant kHighNibbleKinds =
    Repeated({0, 0, 0, 1, 2, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0});
constexpr Constant kLowNibbleKinds =
    Repeated({1, 3, 3, 3, 3, 3, 3, 1, 1, 1, 0, 0, 0, 0, 0, 0});
// A digit's value is its low nibble, and 9 more for a letter.
constexpr Constant kLetterValue =
    Repeated({0, 0, 0, 0, 9, 0, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0});
constexpr Constant kLowNibbles = Repeated({0x0F});
// Multipliers of a pair's digits: 16 for the first, 1 for the second.
constexpr Constant kPairWeights = Repeated({16, 1});
constexpr Constant kUpperDigits =
    Repeated({'0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'});
// Masks for the first n of 16 bytes, loaded from kFirst16 + 16 - n, and for
// the last n, from kLast16 + n.
constexpr Constant kFirst16 = {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}};
constexpr Constant kLast16 = {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                   0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                   0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}};

HEXPOKE_AVX2 __m256i Load(const Constant& constant) {
  return _mm256_load_si256(reinterpret_cast<const __m256i*>(constant.bytes));
}

HEXPOKE_AVX2 __m128i Load16(const void* p) {
  return _mm_loadu_si128(static_cast<const __m128i*>(p));
}

// The sum of the bytes in both halves of `sums`, modulo 256.
HEXPOKE_AVX2 std::uint8_t LaneSum(__m128i sums) {
  return static_cast<std::uint8_t>(
      _mm_cvtsi128_si32(_mm_add_epi32(sums, _mm_unpackhi_epi64(sums, sums))));
}

// The constants of a decoding, loaded once for all its groups.
struct Decoder {
  HEXPOKE_AVX2 Decoder()
      : high_kinds(Load(kHighNibbleKinds)),
        low_kinds(Load(kLowNibbleKinds)),
        letter_value(Load(kLetterValue)),
        low_nibbles(Load(kLowNibbles)),
        pair_weights(Load(kPairWeights)) {}

  // Decodes the 32 characters at `text` as 16 pairs into `bytes`, and
  // returns a mask with bit i set where character i is a hex digit; pairs
  // that are not two digits decode to anything.
  HEXPOKE_AVX2 unsigned Decode(const char* text, __m128i& bytes) const {
    const __m256i chars = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text));
    const __m256i low = _mm256_and_si256(chars, low_nibbles);
    const __m256i high = _mm256_and_si256(_mm256_srli_epi16(chars, 4), low_nibbles);
    const __m256i kinds = _mm256_and_si256(_mm256_shuffle_epi8(high_kinds, high),
                                           _mm256_shuffle_epi8(low_kinds, low));
    const __m256i values = _mm256_add_epi8(low, _mm256_shuffle_epi8(letter_value, high));
    // First digit times 16 plus second, in each 16-bit lane; then the low
    // bytes of the lanes together, each 128-bit half's eight after the
    // other's.
    const __m256i pairs = _mm256_maddubs_epi16(values, pair_weights);
    const __m256i packed = _mm256_packus_epi16(pairs, _mm256_setzero_si256());
    bytes = _mm256_castsi256_si128(_mm256_permute4x64_epi64(packed, 0x08));
    return ~static_cast<unsigned>(_mm256_movemask_epi8(
        _mm256_cmpeq_epi8(kinds, _mm256_setzero_si256())));
  }

  __m256i high_kinds, low_kinds, letter_value, low_nibbles, pair_weights;
};

// Writes the 32 characters of the 16 bytes in `group`.
HEXPOKE_AVX2 void EncodeGroup(__m128i group, char* out, __m256i low_nibbles,
                                  __m256i digits) {
  const __m256i lanes = _mm256_cvtepu8_epi16(group);
  // In each 16-bit lane, the byte's high nibble first.
  const __m256i nibbles = _mm256_or_si256(
      _mm256_srli_epi16(lanes, 4), _mm256_slli_epi16(_mm256_and_si256(lanes, low_nibbles), 8));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_shuffle_epi8(digits, nibbles));
}

// DecodeAllNarrow 16 pairs at a time. The last group overlaps the one
// before it, or, for fewer pairs than a group, reads on past them where it
// may.
HEXPOKE_AVX2 int DecodeAll(const char* text, std::size_t count,
                           std::size_t readable, std::uint8_t* out) {
  const Decoder decoder;
  const __m128i zero = _mm_setzero_si128();
  __m128i bytes;
  if (count < 16) {
    if (readable < 32) return DecodeAllNarrow(text, count, readable, out);
    const unsigned wanted = (1u << (2 * count)) - 1;
    if ((decoder.Decode(text, bytes) & wanted) != wanted) return -1;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), bytes);
    bytes = _mm_and_si128(bytes, Load16(kFirst16.bytes + 16 - count));
    return LaneSum(_mm_sad_epu8(bytes, zero));
  }
  if (decoder.Decode(text, bytes) != 0xFFFFFFFFu) return -1;
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), bytes);
  __m128i sums = _mm_sad_epu8(bytes, zero);
  std::size_t i = 16;
  for (; i + 16 <= count; i += 16) {
    if (decoder.Decode(text + 2 * i, bytes) != 0xFFFFFFFFu) return -1;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), bytes);
    sums = _mm_add_epi64(sums, _mm_sad_epu8(bytes, zero));
  }
  if (i < count) {
    if (decoder.Decode(text + 2 * (count - 16), bytes) != 0xFFFFFFFFu) return -1;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + count - 16), bytes);
    bytes = _mm_and_si128(bytes, Load16(kLast16.bytes + (count - i)));
    sums = _mm_add_epi64(sums, _mm_sad_epu8(bytes, zero));
  }
  return LaneSum(sums);
}

// WriteSummedNarrow 16 bytes at a time, the last group overlapping the one
// before it.
// REQUIRES: count >= 16.
HEXPOKE_AVX2 char* WriteSummed(char* p, const std::uint8_t* bytes,
                               std::size_t count, std::uint8_t& sum) {
  const __m256i low_nibbles = Load(kLowNibbles);
  const __m256i digits = Load(kUpperDigits);
  const __m128i zero = _mm_setzero_si128();
  __m128i group = Load16(bytes);
  EncodeGroup(group, p, low_nibbles, digits);
  __m128i sums = _mm_sad_epu8(group, zero);
  std::size_t i = 16;
  for (; i + 16 <= count; i += 16) {
    group = Load16(bytes + i);
    EncodeGroup(group, p + 2 * i, low_nibbles, digits);
    sums = _mm_add_epi64(sums, _mm_sad_epu8(group, zero));
  }
  if (i < count) {
    group = Load16(bytes + count - 16);
    EncodeGroup(group, p + 2 * (count - 16), low_nibbles, digits);
    sums = _mm_add_epi64(
        sums, _mm_sad_epu8(_mm_and_si128(group, Load16(kLast16.bytes + (count - i))), zero));
  }
  sum = LaneSum(sums);
  return p + 2 * count;
}

}  // namespace avx2

#endif

}  // namespace

bool UseWideVectors(bool allowed) {
#if HEXPOKE_WIDE_VECTORS
  avx2::g_in_use = allowed && avx2::kInProcessor;
  return avx2::g_in_use;
#else
  (void)allowed;
  return false;
#endif
}

char* WriteHexTexts(char* p, const std::uint8_t* bytes, std::size_t count) {
  const std::size_t i = EncodeGroups(p, bytes, count);
  p += 2 * i;
  for (std::size_t j = i; j < count; ++j, p += 2) {
    std::memcpy(p, kDigitPairs[bytes[j]].data(), 2);
  }
  return p;
}

char* WriteHexTextsSummed(char* p, const std::uint8_t* bytes, std::size_t count,
                          std::uint8_t& sum) {
#if HEXPOKE_WIDE_VECTORS
  if (avx2::g_in_use && count >= 16) return avx2::WriteSummed(p, bytes, count, sum);
#endif
  return WriteSummedNarrow(p, bytes, count, sum);
}

char* WriteHexTextsSummedWithRoom(char* p, const std::uint8_t* bytes, std::size_t count,
                                  std::uint8_t& sum) {
#if defined(__SSE2__)
  // Fewer bytes than a group, as in most records of scattered bytes, still
  // go as one.
  if (count < 8) {
    const __m128i group = _mm_and_si128(Load8(bytes), Load8(kFirstBytes + 8 - count));
    EncodeGroup(group, p);
    sum = static_cast<std::uint8_t>(_mm_cvtsi128_si32(_mm_sad_epu8(group, _mm_setzero_si128())));
    return p + 2 * count;
  }
#endif
  return WriteHexTextsSummed(p, bytes, count, sum);
}

std::uint8_t ByteSum(const std::uint8_t* bytes, std::size_t count) {
  std::size_t i = 0;
  unsigned sum = count < 8 ? 0 : SumGroups(bytes, count, i);
  for (; i < count; ++i) sum += bytes[i];
  return static_cast<std::uint8_t>(sum);
}

std::size_t DecodeHexDigitPairs(const char* text, std::size_t count,
                                std::uint8_t* out) {
  const std::size_t i = DecodeGroups(text, count, out);
  return i + DecodeDigitPairsOneByOne(text + 2 * i, count - i, out + i);
}

int DecodeAllHexDigitPairs(const char* text, std::size_t count,
                           std::size_t readable, std::uint8_t* out) {
#if HEXPOKE_WIDE_VECTORS
  if (avx2::g_in_use) return avx2::DecodeAll(text, count, readable, out);
#endif
  return DecodeAllNarrow(text, count, readable, out);
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
