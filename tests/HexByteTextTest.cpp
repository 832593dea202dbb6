// SPDX-License-Identifier: MIT
#include "util/HexByteText.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iomanip>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "util/ErrorMsg.h"

namespace hexpoke {

namespace {

// How the conversions are defined: formatted stream I/O, one stream per call.
int StreamExtractHex(const std::string& text) {
  std::istringstream in(text);
  in.flags(std::ios::hex);
  int value = 0;
  in >> value;
  return value;
}

std::string StreamFormatHex(unsigned value) {
  std::ostringstream out;
  out << std::hex << std::uppercase << std::setw(2) << std::setfill('0')
      << value;
  return out.str();
}

TEST(HexTextToByte, AgreesWithStreamExtractionForEveryTwoCharacterText) {
  int mismatches = 0;
  for (int first = 0; first < 256; ++first) {
    for (int second = 0; second < 256; ++second) {
      const std::string text{static_cast<char>(first), static_cast<char>(second)};
      const auto expected = static_cast<std::uint8_t>(StreamExtractHex(text));
      const std::uint8_t actual = HexTextToByte(text);
      if (actual != expected && ++mismatches <= 10) {
        ADD_FAILURE() << "text bytes " << first << "," << second << ": got "
                      << int{actual} << ", stream gives " << int{expected};
      }
    }
  }
  EXPECT_EQ(mismatches, 0);
}

TEST(ByteToHexText, AgreesWithStreamFormattingForEveryByte) {
  for (unsigned byte = 0; byte < 256; ++byte) {
    EXPECT_EQ(ByteToHexText(static_cast<std::uint8_t>(byte)),
              StreamFormatHex(byte))
        << byte;
  }
}

TEST(HexTextToByte, ReadsTheOddCornersOfStreamExtraction) {
  static const struct {
    const char* text;
    int byte;
  } cases[] = {
      {"00", 0x00}, {"7f", 0x7F}, {"7F", 0x7F}, {"ff", 0xFF}, {"FF", 0xFF},
      {"1g", 0x01}, {"f ", 0x0F}, {"zz", 0x00}, {"g1", 0x00}, {" f", 0x00},
      {"+1", 0x01}, {"-1", 0xFF}, {"-f", 0xF1}, {"0x", 0x00}, {"++", 0x00},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(HexTextToByte(c.text), c.byte) << '"' << c.text << '"';
  }
}

TEST(HexTextToByte, ThrowsErrorMsgForTextsNotTwoCharactersLong) {
  for (const char* text : {"", "1", "123"}) {
    try {
      HexTextToByte(text);
      ADD_FAILURE() << "no throw for \"" << text << '"';
    } catch (Util::ErrorMsg* e) {
      const std::unique_ptr<Util::ErrorMsg> owned(e);
      EXPECT_EQ(owned->Message(), "Hex convert error") << text;
    }
  }
}

// The conversions of runs go by groups of characters, with faster ways for
// groups of digits, a last group that may overlap the one before or read
// on past the pairs, and wider groups where the processor has AVX2; each
// way must give, for every length and wherever a non-digit stands,
// whatever follows the pairs, what the pairs and bytes give one at a time.
TEST(HexRuns, AgreeWithThePairsAndBytesOneAtATime) {
  const std::string digits = "0123456789abcdefABCDEF";
  const std::string others = "g+-: \n\x80\xff";
  for (const bool wide : {false, true}) {
    const bool wide_in_use = UseWideVectors(wide);
    std::mt19937 random(20261209);
    int mismatches = 0;
    for (int round = 0; round < 20000; ++round) {
      const std::size_t count = round < 600 ? static_cast<std::size_t>(round % 60)
                                            : random() % 300;
      // The pairs, then up to 40 characters that a decoder may read but
      // must not take in.
      const std::size_t readable = 2 * count + random() % 41;
      std::string text(readable, '0');
      for (char& c : text) c = digits[random() % digits.size()];
      for (std::size_t i = 2 * count; i < readable; ++i) {
        if (random() % 2 == 0) text[i] = others[random() % others.size()];
      }
      // Some runs all digits, some with one or a few other characters.
      for (unsigned k = random() % 4; k > 0 && count > 0; --k) {
        text[random() % (2 * count)] = others[random() % others.size()];
      }
      std::vector<std::uint8_t> one_by_one(count);
      std::size_t digit_pairs = count;
      for (std::size_t i = 0; i < count; ++i) {
        one_by_one[i] = HexTextToByte(text.substr(2 * i, 2));
        const bool pair_of_digits =
            digits.find(text[2 * i]) != std::string::npos &&
            digits.find(text[2 * i + 1]) != std::string::npos;
        if (!pair_of_digits && digit_pairs == count) digit_pairs = i;
      }
      unsigned sum = 0;
      std::string expected_text;
      for (const std::uint8_t byte : one_by_one) {
        expected_text += ByteToHexText(byte);
        sum += byte;
      }
      const auto byte_sum = static_cast<std::uint8_t>(sum);

      std::vector<std::uint8_t> bytes(count + 1, 0xEE);
      HexPairsToBytes(text.data(), count, bytes.data());
      std::vector<std::uint8_t> decoded(count + 1, 0xEE);
      const std::size_t decoded_pairs =
          DecodeHexDigitPairs(text.data(), count, decoded.data());
      std::vector<std::uint8_t> all(count + 16, 0xEE);
      const int all_sum = DecodeAllHexDigitPairs(text.data(), count, readable, all.data());

      std::string written(2 * count + 1, '#');
      char* end = WriteHexTexts(&written[0], one_by_one.data(), count);
      std::string summed_text(2 * count + 1, '#');
      std::uint8_t written_sum = 0;
      char* summed_end =
          WriteHexTextsSummed(&summed_text[0], one_by_one.data(), count, written_sum);
      // With room to spare: 8 bytes readable and 16 characters writable
      // however few the bytes.
      std::vector<std::uint8_t> padded = one_by_one;
      padded.resize(count + 8, static_cast<std::uint8_t>(random()));
      std::string roomy_text(2 * count + 16, '#');
      std::uint8_t roomy_sum = 0;
      char* roomy_end =
          WriteHexTextsSummedWithRoom(&roomy_text[0], padded.data(), count, roomy_sum);

      const bool agree =
          std::equal(one_by_one.begin(), one_by_one.end(), bytes.begin()) &&
          bytes[count] == 0xEE && decoded_pairs == digit_pairs &&
          std::equal(one_by_one.begin(), one_by_one.begin() + digit_pairs,
                     decoded.begin()) &&
          (digit_pairs == count
               ? all_sum == byte_sum &&
                     std::equal(one_by_one.begin(), one_by_one.end(), all.begin())
               : all_sum == -1) &&
          end == &written[2 * count] && written.substr(0, 2 * count) == expected_text &&
          written[2 * count] == '#' && summed_end == &summed_text[2 * count] &&
          summed_text == written && written_sum == byte_sum &&
          roomy_end == &roomy_text[2 * count] &&
          roomy_text.compare(0, 2 * count, expected_text) == 0 && roomy_sum == byte_sum &&
          ByteSum(one_by_one.data(), count) == byte_sum;
      if (!agree && ++mismatches <= 5) {
        ADD_FAILURE() << "text \"" << text << "\", " << count << " pairs, "
                      << (wide_in_use ? "wide" : "narrow");
      }
    }
    EXPECT_EQ(mismatches, 0) << (wide_in_use ? "wide" : "narrow");
  }
  UseWideVectors(true);
}

}  // namespace

}  // namespace hexpoke
