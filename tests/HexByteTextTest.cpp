#include "util/HexByteText.h"

#include <gtest/gtest.h>

#include <iomanip>
#include <memory>
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

}  // namespace

}  // namespace hexpoke
