#include "image/ImageToRecords.h"

#include <algorithm>
#include <cassert>

#include "records/RecordFormat.h"

using namespace record_format;

RecordList ImageToRecords(const MemoryImage& image) {
  assert(image.size() <= kLargestImage);
  RecordList records;
  records.reserve((image.size() + kOutputDataBytes - 1) / kOutputDataBytes +
                  1);
  for (std::size_t offset = 0; offset < image.size();
       offset += kOutputDataBytes) {
    const std::size_t length =
        std::min(kOutputDataBytes, image.size() - offset);
    std::unique_ptr<CAbstractIntelHexRecord> record = MakeRecord(kDataType);
    Bytes& raw = record->RawBytes();
    raw.reserve(kHeaderBytes + length);
    raw[kLengthIndex] = static_cast<std::uint8_t>(length);
    raw[kAddressHighIndex] = static_cast<std::uint8_t>(offset >> 8);
    raw[kAddressLowIndex] = static_cast<std::uint8_t>(offset & 0xFF);
    const auto first = image.begin() + static_cast<std::ptrdiff_t>(offset);
    raw.insert(raw.end(), first, first + static_cast<std::ptrdiff_t>(length));
    records.push_back(std::move(record));
  }
  records.push_back(MakeRecord(kEndOfFileType));
  return records;
}
