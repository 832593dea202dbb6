#include "util/HexByteText.h"

#include "util/ErrorMsg.h"

namespace hexpoke {

std::string ByteToHexText(std::uint8_t byte) {
  std::string text(2, '0');
  WriteHexText(&text[0], byte);
  return text;
}

std::uint8_t HexTextToByte(std::string_view text) {
  if (text.size() != 2) throw new Util::ErrorMsg("Hex convert error");
  return HexPairToByte(text[0], text[1]);
}

}  // namespace hexpoke
