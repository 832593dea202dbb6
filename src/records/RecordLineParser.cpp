#include "records/RecordLineParser.h"

#include <array>
#include <cassert>
#include <cstdint>

#include "records/RecordFormat.h"
#include "util/HexByteText.h"

using namespace record_format;

std::unique_ptr<CAbstractIntelHexRecord> ParseRecordLine(
    std::string_view text, std::ostream& messages) {
  return ParseRecordLine(text, text.size(), messages);
}

std::unique_ptr<CAbstractIntelHexRecord> ParseRecordLine(
    std::string_view head, std::size_t length, std::ostream& messages) {
  assert(head.size() >= std::min(length, kMaxLineChars + 1));
  if (length == 0 || length % 2 == 0 || head[0] != kStartCode) return nullptr;

  const std::size_t decoded = (length - 1) / 2;
  const unsigned data_length =
      decoded == 0 ? 0 : Util::HexPairToByte(head[1], head[2]);
  if (decoded != data_length + kHeaderBytes + 1) {
    messages << "error len: " << "size - >" << decoded << ' ' << data_length
             << std::endl;
    return nullptr;
  }

  // The length check bounds `decoded` by kMaxLineBytes, and the whole text
  // is in `head`.
  std::array<std::uint8_t, kMaxLineBytes> bytes;
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i < decoded; ++i) {
    bytes[i] = Util::HexPairToByte(head[1 + 2 * i], head[2 + 2 * i]);
    sum = static_cast<std::uint8_t>(sum + bytes[i]);
  }
  const std::uint8_t carried = bytes[decoded - 1];
  const auto expected = static_cast<std::uint8_t>(carried - sum);  // -(sum of the rest)
  if (carried != expected) {
    messages << "error checksum. " << Util::ByteToHexText(expected)
             << std::endl;
    return nullptr;
  }

  std::unique_ptr<CAbstractIntelHexRecord> record =
      MakeRecord(bytes[kTypeIndex]);
  if (record) record->RawBytes().assign(bytes.begin(), bytes.begin() + (decoded - 1));
  return record;
}
