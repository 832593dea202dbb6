#include "image/ImageToRecords.h"

#include <algorithm>
#include <cassert>
#include <memory>

#include "records/RecordFormat.h"

namespace hexpoke {

namespace {

using namespace record_format;

// Sets `raw` to the raw record bytes of the data record at `offset`.
void FillDataRecord(const MemoryImage& image, std::size_t offset, Bytes& raw) {
  const std::size_t length = std::min(kOutputDataBytes, image.size() - offset);
  raw.resize(kHeaderBytes + length);
  raw[kLengthIndex] = static_cast<std::uint8_t>(length);
  raw[kAddressHighIndex] = static_cast<std::uint8_t>(offset >> 8);
  raw[kAddressLowIndex] = static_cast<std::uint8_t>(offset & 0xFF);
  raw[kTypeIndex] = kDataType;
  std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(offset), length,
              raw.begin() + kHeaderBytes);
}

}  // namespace

void ForEachImageRecord(
    const MemoryImage& image,
    const std::function<void(const CAbstractIntelHexRecord&)>& visit) {
  assert(image.size() <= kLargestImage);
  CIntelBinRecord data;
  for (std::size_t offset = 0; offset < image.size();
       offset += kOutputDataBytes) {
    FillDataRecord(image, offset, data.RawBytes());
    visit(data);
  }
  visit(*MakeRecord(kEndOfFileType));
}

}  // namespace hexpoke

hexpoke::RecordList ImageToRecords(const hexpoke::MemoryImage& image) {
  using namespace hexpoke;
  using namespace hexpoke::record_format;
  assert(image.size() <= kLargestImage);
  RecordList records;
  records.reserve((image.size() + kOutputDataBytes - 1) / kOutputDataBytes +
                  1);
  for (std::size_t offset = 0; offset < image.size();
       offset += kOutputDataBytes) {
    Bytes raw;
    FillDataRecord(image, offset, raw);
    records.push_back(std::make_unique<CIntelBinRecord>(std::move(raw)));
  }
  records.push_back(MakeRecord(kEndOfFileType));
  return records;
}
