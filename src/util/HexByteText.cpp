#include "util/HexByteText.h"

#include <array>
#include <cstring>

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

char* WriteHexTexts(char* p, const std::uint8_t* bytes, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i, p += 2) {
    std::memcpy(p, kDigitPairs[bytes[i]].data(), 2);
  }
  return p;
}

void HexPairsToBytes(const char* text, std::size_t count, std::uint8_t* out) {
  std::size_t i = 0;
  // Nearly every pair is two digits, which take the short way; from the
  // first pair that is not, the stream's rules.
  for (; i < count; ++i) {
    const int high = DigitValue(text[2 * i]);
    const int low = DigitValue(text[2 * i + 1]);
    if ((high | low) < 0) break;
    out[i] = static_cast<std::uint8_t>(high << 4 | low);
  }
  for (; i < count; ++i) out[i] = PairToByte(text[2 * i], text[2 * i + 1]);
}

}  // namespace hexpoke
