// SPDX-License-Identifier: MIT
#include "records/IntelHexRecord.h"

#include <algorithm>

#include "records/RecordFormat.h"
#include "util/HexByteText.h"

using hexpoke::Bytes;
using namespace hexpoke::record_format;

CAbstractIntelHexRecord::CAbstractIntelHexRecord() : raw_(kHeaderBytes, 0) {}

std::string CAbstractIntelHexRecord::RecordText() const {
  std::string text(RecordTextSize(), '\0');
  WriteRecordText(&text[0]);
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

char* CAbstractIntelHexRecord::WriteRawRecordText(char* out) const {
  return hexpoke::WriteRawRecordLine(out, raw_.data(), raw_.size());
}

std::size_t CIntelBinRecord::RecordTextSize() const { return RawRecordTextSize(); }

char* CIntelBinRecord::WriteRecordText(char* out) const {
  return WriteRawRecordText(out);
}

std::size_t CIntelAddressRecord::RecordTextSize() const {
  return RawRecordTextSize();
}

char* CIntelAddressRecord::WriteRecordText(char* out) const {
  return WriteRawRecordText(out);
}

namespace {

constexpr char kEndOfFileLine[] = ":00000001FF";

}  // namespace

std::size_t CIntelEndFileRecord::RecordTextSize() const {
  return sizeof kEndOfFileLine - 1;
}

char* CIntelEndFileRecord::WriteRecordText(char* out) const {
  return std::copy_n(kEndOfFileLine, sizeof kEndOfFileLine - 1, out);
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
