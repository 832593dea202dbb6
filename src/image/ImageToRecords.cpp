// SPDX-License-Identifier: MIT
#include "image/ImageToRecords.h"

#include <algorithm>
#include <memory>
#include <string>

#include "records/RecordFormat.h"

namespace hexpoke {

namespace {

using namespace record_format;

// Writes at `raw` the raw record bytes of a record of `type` at the 16-bit
// `address` holding the `count` bytes at `data`; returns their number.
std::size_t FillRawBytes(std::uint8_t* raw, std::uint8_t type,
                         std::uint64_t address, const std::uint8_t* data,
                         std::size_t count) {
  raw[kLengthIndex] = static_cast<std::uint8_t>(count);
  raw[kAddressHighIndex] = static_cast<std::uint8_t>(address >> 8);
  raw[kAddressLowIndex] = static_cast<std::uint8_t>(address);
  raw[kTypeIndex] = type;
  std::copy_n(data, count, raw + kHeaderBytes);
  return kHeaderBytes + count;
}

// Calls emit(type, address, data, count) for each record of the file that
// holds `image`, with the record's 16-bit address, in order; see
// ImageToRecords.
template <typename Emit>
void CutIntoRecords(const MemoryImage& image, const FileExtras& extras,
                    Emit&& emit) {
  const bool windowed = image.end() > kWindowSize;
  const bool segments =
      extras.segment_addressing && image.end() <= kSegmentAddressSpace;
  image.ForEachRun([&](std::uint64_t start, const std::uint8_t* bytes,
                       std::uint64_t count) {
    const std::uint64_t end = start + count;
    for (std::uint64_t piece = start; piece < end;) {
      const std::uint64_t window = piece / kWindowSize;
      const std::uint64_t piece_end = std::min(end, (window + 1) * kWindowSize);
      if (windowed) {
        // The window's base: window * 64 KiB, as a linear address of 64 KiB
        // units or as a segment of 16-byte units.
        const std::uint64_t base = segments ? window << 12 : window;
        const std::uint8_t value[kExtendedAddressBytes] = {
            static_cast<std::uint8_t>(base >> 8),
            static_cast<std::uint8_t>(base)};
        emit(segments ? kExtendedSegmentAddressType : kExtendedLinearAddressType,
             0, value, kExtendedAddressBytes);
      }
      for (std::uint64_t at = piece; at < piece_end; at += kOutputDataBytes) {
        emit(kDataType, at % kWindowSize, bytes + (at - start),
             static_cast<std::size_t>(
                 std::min<std::uint64_t>(kOutputDataBytes, piece_end - at)));
      }
      piece = piece_end;
    }
  });
  if (extras.start_segment) {
    emit(kStartSegmentAddressType, 0, extras.start_segment->data(),
         kStartAddressBytes);
  }
  if (extras.start_linear) {
    emit(kStartLinearAddressType, 0, extras.start_linear->data(),
         kStartAddressBytes);
  }
  emit(kEndOfFileType, 0, nullptr, 0);
}

}  // namespace

void WriteImageText(const MemoryImage& image, const FileExtras& extras,
                    const std::function<void(std::string_view)>& write) {
  constexpr std::size_t kPieceSize = std::size_t{64} * 1024;
  std::string text(kPieceSize + kMaxLineChars + 1, '\0');
  std::size_t used = 0;
  const std::unique_ptr<CAbstractIntelHexRecord> end_of_file =
      MakeRecord(kEndOfFileType);
  CutIntoRecords(image, extras,
                 [&](std::uint8_t type, std::uint64_t at,
                     const std::uint8_t* bytes, std::size_t count) {
                   char* line = &text[used];
                   if (type == kEndOfFileType) {
                     line = end_of_file->WriteRecordText(line);
                   } else {
                     std::uint8_t raw[kMaxLineBytes];
                     line = WriteRawRecordLine(
                         line, raw, FillRawBytes(raw, type, at, bytes, count));
                   }
                   *line++ = '\n';
                   used = static_cast<std::size_t>(line - text.data());
                   if (used >= kPieceSize) {
                     write(std::string_view(text.data(), used));
                     used = 0;
                   }
                 });
  if (used > 0) write(std::string_view(text.data(), used));
}

}  // namespace hexpoke

hexpoke::RecordList ImageToRecords(const hexpoke::MemoryImage& image,
                                   const hexpoke::FileExtras& extras) {
  using namespace hexpoke;
  using namespace hexpoke::record_format;
  RecordList records;
  CutIntoRecords(image, extras,
                 [&](std::uint8_t type, std::uint64_t at,
                     const std::uint8_t* bytes, std::size_t count) {
                   if (type == kEndOfFileType) {
                     records.push_back(MakeRecord(kEndOfFileType));
                     return;
                   }
                   Bytes raw(kHeaderBytes + count);
                   FillRawBytes(raw.data(), type, at, bytes, count);
                   if (type == kDataType) {
                     records.push_back(std::make_unique<CIntelBinRecord>(std::move(raw)));
                   } else {
                     records.push_back(
                         std::make_unique<CIntelAddressRecord>(std::move(raw)));
                   }
                 });
  return records;
}
