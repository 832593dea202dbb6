// SPDX-License-Identifier: MIT
#include "util/HexByteText.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
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

// Runs of pairs are decoded a group at a time where the pairs are digits,
// with groups that overlap at the end of a run and for runs of 4 to 7
// pairs, and one by one otherwise. Every two-character text, in each place
// of runs of each shape, must decode as stream extraction reads it.
TEST(DecodeHexPairs, AgreesWithStreamExtractionForEveryTextInEveryPlace) {
  static const struct {
    std::size_t count, at;
  } places[] = {{1, 0}, {3, 2}, {5, 0}, {5, 2}, {5, 4}, {8, 3}, {13, 0}, {13, 6}, {13, 12}};
  int mismatches = 0;
  for (int first = 0; first < 256; ++first) {
    for (int second = 0; second < 256; ++second) {
      const std::string pair{static_cast<char>(first), static_cast<char>(second)};
      const auto expected = static_cast<std::uint8_t>(StreamExtractHex(pair));
      const bool digits = std::isxdigit(first) != 0 && std::isxdigit(second) != 0;
      for (const auto& place : places) {
        // Exactly as long as the pairs, so that a sanitizer sees any read
        // past them.
        std::vector<char> text;
        for (std::size_t i = 0; i < place.count; ++i) {
          const char* chars = i == place.at ? pair.c_str() : "a5";
          text.insert(text.end(), chars, chars + 2);
        }
        std::vector<std::uint8_t> bytes(place.count);
        bool all_digits = !digits;
        const std::uint8_t sum =
            DecodeHexPairs(text.data(), place.count, bytes.data(), all_digits);
        std::vector<std::uint8_t> wanted(place.count, 0xA5);
        wanted[place.at] = expected;
        const auto wanted_sum = static_cast<std::uint8_t>(0xA5 * (place.count - 1) + expected);
        if ((bytes != wanted || sum != wanted_sum || all_digits != digits) &&
            ++mismatches <= 10) {
          ADD_FAILURE() << "text bytes " << first << "," << second << " as pair "
                        << place.at << " of " << place.count;
        }
      }
    }
  }
  EXPECT_EQ(mismatches, 0);
}

// Runs of every length, digits or not, decode as their pairs do one at a
// time, and bytes encode as they do one at a time, with the same sums.
TEST(HexPairs, RunsAgreeWithThePairsAndBytesOneAtATime) {
  const std::string digits = "0123456789abcdefABCDEF";
  const std::string others = "g+-: \n\x80\xff";
  std::mt19937 random(20261209);
  int mismatches = 0;
  for (int round = 0; round < 20000; ++round) {
    const std::size_t count = round < 600 ? static_cast<std::size_t>(round % 60)
                                          : random() % 300;
    std::string text(2 * count, '0');
    for (char& c : text) c = digits[random() % digits.size()];
    // Some runs all digits, some with one or a few other characters.
    for (unsigned k = random() % 4; k > 0 && count > 0; --k) {
      text[random() % (2 * count)] = others[random() % others.size()];
    }
    std::vector<std::uint8_t> one_by_one(count);
    std::string expected_text;
    unsigned sum = 0;
    for (std::size_t i = 0; i < count; ++i) {
      one_by_one[i] = HexTextToByte(text.substr(2 * i, 2));
      expected_text += ByteToHexText(one_by_one[i]);
      sum += one_by_one[i];
    }
    const bool all_digits_expected =
        text.find_first_not_of(digits) == std::string::npos;

    // Buffers of exactly their size, so that a sanitizer sees any access
    // past them.
    const std::vector<char> exact_text(text.begin(), text.end());
    std::vector<std::uint8_t> decoded(count);
    bool all_digits = !all_digits_expected;
    const std::uint8_t decoded_sum =
        DecodeHexPairs(exact_text.data(), count, decoded.data(), all_digits);
    std::vector<char> encoded(2 * count);
    const std::uint8_t encoded_sum = EncodeHexPairs(one_by_one.data(), count, encoded.data());

    const bool agree = decoded == one_by_one && all_digits == all_digits_expected &&
                       decoded_sum == static_cast<std::uint8_t>(sum) &&
                       std::string(encoded.begin(), encoded.end()) == expected_text &&
                       encoded_sum == static_cast<std::uint8_t>(sum);
    if (!agree && ++mismatches <= 5) {
      ADD_FAILURE() << "text \"" << text << "\", " << count << " pairs";
    }
  }
  EXPECT_EQ(mismatches, 0);
}

}  // namespace

}  // namespace hexpoke
