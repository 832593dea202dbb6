#include "records/IntelHexRecord.h"

#include <algorithm>
#include <numeric>

#include "records/RecordFormat.h"
#include "util/HexByteText.h"

using hexpoke::Bytes;
using namespace hexpoke::record_format;

CAbstractIntelHexRecord::CAbstractIntelHexRecord() : raw_(kHeaderBytes, 0) {}

std::string CAbstractIntelHexRecord::RecordText() const {
  std::string text;
  AppendRecordText(text);
  return text;
}

Bytes CAbstractIntelHexRecord::RecordData() const {
  // Clamped so that a record whose bytes were left short reads as far as it
  // goes rather than past its end.
  const std::size_t length = raw_.empty() ? 0 : raw_[kLengthIndex];
  const std::size_t available =
      raw_.size() > kHeaderBytes ? raw_.size() - kHeaderBytes : 0;
  const auto first = raw_.begin() + static_cast<std::ptrdiff_t>(
                                        std::min(kHeaderBytes, raw_.size()));
  return Bytes(first, first + static_cast<std::ptrdiff_t>(
                                  std::min(length, available)));
}

std::uint16_t CAbstractIntelHexRecord::RecordAddress() const {
  return static_cast<std::uint16_t>(raw_[kAddressHighIndex] << 8 |
                                    raw_[kAddressLowIndex]);
}

void CAbstractIntelHexRecord::AppendRawRecordText(std::string& out) const {
  const Bytes& raw = raw_;
  const auto checksum =
      static_cast<std::uint8_t>(-std::accumulate(raw.begin(), raw.end(), 0u));

  // Sized once and filled through a pointer: this runs for every record of
  // every file written.
  const std::size_t start = out.size();
  out.resize(start + 1 + 2 * (raw.size() + 1));
  char* p = &out[start];
  *p++ = kStartCode;
  p = hexpoke::WriteHexTexts(p, raw.data(), raw.size());
  hexpoke::WriteHexTexts(p, &checksum, 1);
}

void CIntelBinRecord::AppendRecordText(std::string& out) const {
  AppendRawRecordText(out);
}

void CIntelAddressRecord::AppendRecordText(std::string& out) const {
  AppendRawRecordText(out);
}

void CIntelEndFileRecord::AppendRecordText(std::string& out) const {
  out += ":00000001FF";
}

namespace hexpoke {

std::unique_ptr<CAbstractIntelHexRecord> MakeRecord(std::uint8_t type) {
  std::unique_ptr<CAbstractIntelHexRecord> record;
  if (type == kDataType) {
    record = std::make_unique<CIntelBinRecord>();
  } else if (type == kEndOfFileType) {
    record = std::make_unique<CIntelEndFileRecord>();
  } else {
    return nullptr;
  }
  record->RawBytes()[kTypeIndex] = type;
  return record;
}

}  // namespace hexpoke
