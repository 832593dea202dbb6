#include "records/RecordLineParser.h"

#include <algorithm>
#include <cassert>

#include "util/HexByteText.h"

namespace hexpoke {

using namespace record_format;

namespace {

// The sum, modulo 256, of the first `count` decoded bytes of `line`.
std::uint8_t ByteSum(const DecodedRecordLine& line, std::size_t count) {
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i < count; ++i) {
    sum = static_cast<std::uint8_t>(sum + line.bytes[i]);
  }
  return sum;
}

}  // namespace

std::unique_ptr<CAbstractIntelHexRecord> ParseRecordLine(
    std::string_view text, std::ostream& messages) {
  return ParseRecordLine(text, text.size(), messages);
}

std::unique_ptr<CAbstractIntelHexRecord> ParseRecordLine(
    std::string_view head, std::size_t length, std::ostream& messages) {
  DecodedRecordLine line;
  if (!DecodeRecordLine(head, length, messages, line)) return nullptr;
  std::unique_ptr<CAbstractIntelHexRecord> record = MakeRecord(line.type());
  if (record) {
    record->RawBytes().assign(line.bytes.begin(),
                              line.bytes.begin() + line.raw_size);
  }
  return record;
}

bool DecodeRecordLine(std::string_view head, std::size_t length,
                      std::ostream& messages, DecodedRecordLine& line) {
  assert(head.size() >= std::min(length, kMaxLineChars + 1));
  if (length == 0 || length % 2 == 0 || head[0] != kStartCode) return false;

  const std::size_t decoded = (length - 1) / 2;
  const unsigned data_length =
      decoded == 0 ? 0 : HexPairToByte(head[1], head[2]);
  if (decoded != data_length + kHeaderBytes + 1) {
    messages << "error len: " << "size - >" << decoded << ' ' << data_length
             << std::endl;
    return false;
  }

  // The length check bounds `decoded` by kMaxLineBytes, and the whole text
  // is in `head`.
  HexPairsToBytes(head.data() + 1, decoded, line.bytes.data());
  const std::uint8_t sum = ByteSum(line, decoded);
  const std::uint8_t carried = line.bytes[decoded - 1];
  // The checksum the line should carry: minus the sum of the bytes before it.
  const auto expected = static_cast<std::uint8_t>(carried - sum);
  if (carried != expected) {
    messages << "error checksum. " << ByteToHexText(expected)
             << std::endl;
    return false;
  }
  line.raw_size = decoded - 1;
  return true;
}

std::size_t DecodeWellFormedLine(const char* text, std::size_t available,
                                 DecodedRecordLine& line) {
  if (available < 3 || text[0] != kStartCode) return 0;
  std::uint8_t data_length;
  if (!HexDigitPairsToBytes(text + 1, 1, &data_length)) return 0;
  const std::size_t bytes = kHeaderBytes + data_length + 1;
  const std::size_t length = 1 + 2 * bytes;
  if (available < length ||
      !HexDigitPairsToBytes(text + 1, bytes, line.bytes.data())) {
    return 0;
  }
  // The checksum makes the sum of all the bytes zero.
  if (ByteSum(line, bytes) != 0) return 0;
  line.raw_size = bytes - 1;
  return length;
}

}  // namespace hexpoke
