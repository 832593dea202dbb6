// SPDX-License-Identifier: MIT
#include "image/ImageToRecords.h"

#include <algorithm>
#include <memory>
#include <string>

#include "records/RecordFormat.h"
#include "util/CopyBytes.h"

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
  CopyBytes(raw + kHeaderBytes, data, count);
  return kHeaderBytes + count;
}

// Hands each record of the file that holds `image` to `sink`, in order
// (see ImageToRecords):
//  - sink.Address(type, value) for an extended address record, `value`
//    being its two data bytes;
//  - sink.Data(address, data, count) for a data record at the 16-bit
//    `address` holding the `count` bytes at `data`;
//  - sink.Start(type, address) for a start address record;
//  - sink.EndOfFile() last.
template <typename Sink>
void CutIntoRecords(const MemoryImage& image, const FileExtras& extras, Sink& sink) {
  const bool windowed = image.end() > kWindowSize;
  const bool segments =
      extras.segment_addressing && image.end() <= kSegmentAddressSpace;
  const std::uint8_t address_type =
      segments ? kExtendedSegmentAddressType : kExtendedLinearAddressType;
  // The window that the last extended address record set: at first one
  // past the last, so that the first piece gets one.
  std::uint64_t current_window = MemoryImage::kAddressSpace / kWindowSize;
  image.ForEachRun([&](std::uint64_t start, const std::uint8_t* bytes,
                       std::uint64_t count) {
    const std::uint64_t end = start + count;
    for (std::uint64_t piece = start; piece < end;) {
      const std::uint64_t window = piece / kWindowSize;
      const std::uint64_t piece_end = std::min(end, (window + 1) * kWindowSize);
      if (windowed && window != current_window) {
        current_window = window;
        // The window's base: window * 64 KiB, as a linear address of 64 KiB
        // units or as a segment of 16-byte units.
        const std::uint64_t base = segments ? window << 12 : window;
        const std::uint8_t value[kExtendedAddressBytes] = {
            static_cast<std::uint8_t>(base >> 8),
            static_cast<std::uint8_t>(base)};
        sink.Address(address_type, value);
      }
      for (std::uint64_t at = piece; at < piece_end; at += kOutputDataBytes) {
        sink.Data(static_cast<std::uint16_t>(at % kWindowSize), bytes + (at - start),
                  static_cast<std::size_t>(
                      std::min<std::uint64_t>(kOutputDataBytes, piece_end - at)));
      }
      piece = piece_end;
    }
  });
  if (extras.start_segment) sink.Start(kStartSegmentAddressType, *extras.start_segment);
  if (extras.start_linear) sink.Start(kStartLinearAddressType, *extras.start_linear);
  sink.EndOfFile();
}

// Makes the text of the records, in pieces of some 64 KiB.
class TextWriter {
 public:
  explicit TextWriter(const std::function<void(std::string_view)>& write)
      : write_(write), text_(new char[kPieceSize + kMaxLineChars + 1]), line_(text_.get()) {}

  void Address(std::uint8_t type, const std::uint8_t* value) {
    std::uint8_t raw[kHeaderBytes + kExtendedAddressBytes];
    line_ = WriteRawRecordLine(line_, raw,
                               FillRawBytes(raw, type, 0, value, kExtendedAddressBytes));
    EndLine();
  }

  void Data(std::uint16_t address, const std::uint8_t* data, std::size_t count) {
    std::uint8_t raw[kHeaderBytes + kOutputDataBytes];
    line_ = WriteRawRecordLine(line_, raw, FillRawBytes(raw, kDataType, address, data, count));
    EndLine();
  }

  void Start(std::uint8_t type, const StartAddress& address) {
    std::uint8_t raw[kHeaderBytes + kStartAddressBytes];
    line_ = WriteRawRecordLine(line_, raw,
                               FillRawBytes(raw, type, 0, address.data(), address.size()));
    EndLine();
  }

  void EndOfFile() {
    line_ = MakeRecord(kEndOfFileType)->WriteRecordText(line_);
    EndLine();
    if (line_ != text_.get()) Flush();
  }

 private:
  static constexpr std::size_t kPieceSize = std::size_t{64} * 1024;

  void EndLine() {
    *line_++ = '\n';
    if (line_ >= text_.get() + kPieceSize) Flush();
  }

  void Flush() {
    write_(std::string_view(text_.get(), static_cast<std::size_t>(line_ - text_.get())));
    line_ = text_.get();
  }

  const std::function<void(std::string_view)>& write_;
  const std::unique_ptr<char[]> text_;
  char* line_;
};

// Makes the records.
class RecordMaker {
 public:
  explicit RecordMaker(RecordList& records) : records_(records) {}

  void Address(std::uint8_t type, const std::uint8_t* value) {
    records_.push_back(
        std::make_unique<CIntelAddressRecord>(Raw(type, 0, value, kExtendedAddressBytes)));
  }
  void Data(std::uint16_t address, const std::uint8_t* data, std::size_t count) {
    records_.push_back(std::make_unique<CIntelBinRecord>(Raw(kDataType, address, data, count)));
  }
  void Start(std::uint8_t type, const StartAddress& address) {
    records_.push_back(std::make_unique<CIntelAddressRecord>(
        Raw(type, 0, address.data(), address.size())));
  }
  void EndOfFile() { records_.push_back(MakeRecord(kEndOfFileType)); }

 private:
  static Bytes Raw(std::uint8_t type, std::uint16_t address, const std::uint8_t* data,
                   std::size_t count) {
    Bytes raw(kHeaderBytes + count);
    FillRawBytes(raw.data(), type, address, data, count);
    return raw;
  }

  RecordList& records_;
};

}  // namespace

void WriteImageText(const MemoryImage& image, const FileExtras& extras,
                    const std::function<void(std::string_view)>& write) {
  TextWriter writer(write);
  CutIntoRecords(image, extras, writer);
}

}  // namespace hexpoke

hexpoke::RecordList ImageToRecords(const hexpoke::MemoryImage& image,
                                   const hexpoke::FileExtras& extras) {
  hexpoke::RecordList records;
  hexpoke::RecordMaker maker(records);
  hexpoke::CutIntoRecords(image, extras, maker);
  return records;
}
