// SPDX-License-Identifier: MIT
#ifndef HEXPOKE_IMAGE_IMAGE_TO_RECORDS_H_
#define HEXPOKE_IMAGE_IMAGE_TO_RECORDS_H_

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "image/MemoryImage.h"
#include "records/IntelHexRecord.h"

namespace hexpoke {

// The four data bytes of a start address record: CS and IP (03), or EIP
// (05), high byte first.
using StartAddress = std::array<std::uint8_t, 4>;

// What a file says besides its data bytes, carried from the input to the
// output.
struct FileExtras {
  // The file placed its data with extended segment address records (02)
  // alone: its output does too, as long as every byte lies in the first
  // 1 MiB, so that loaders that know no other kind still read it.
  bool segment_addressing = false;
  // Entry points: the last start segment (03) and start linear (05)
  // address records' data.
  std::optional<StartAddress> start_segment;
  std::optional<StartAddress> start_linear;

  bool operator==(const FileExtras& other) const {
    return segment_addressing == other.segment_addressing &&
           start_segment == other.start_segment &&
           start_linear == other.start_linear;
  }
};

// The text of the records that ImageToRecords(image, extras) returns, each
// record's line followed by '\n', in the same order, made without making
// the records: handed to `write` in pieces of some 64 KiB, so that a file
// is written a piece at a time and the whole text is never held.
void WriteImageText(const MemoryImage& image, const FileExtras& extras,
                    const std::function<void(std::string_view)>& write);

}  // namespace hexpoke

// The records of an Intel HEX file that holds `image`, in order (the model
// of what WriteImageText writes, which tests hold it to; a run uses
// WriteImageText alone):
//  - for each run of bytes, cut at every 64 KiB boundary, data records of
//    16 bytes from the piece's first address (the last one shorter), so
//    that no record crosses a boundary; every byte is data, runs of 00 or
//    FF included;
//  - before the first piece of each 64 KiB window, an extended address
//    record for the window, unless every byte lies below 64 KiB: then there
//    are none, and the records' addresses are the bytes' own. The records are extended
//    linear (04), or extended segment (02, segment = window * 0x1000) where
//    extras.segment_addressing says so and the image ends within 1 MiB;
//  - the start segment address (03) and then the start linear address (05)
//    record, each if extras holds one;
//  - one end-of-file record.
hexpoke::RecordList ImageToRecords(const hexpoke::MemoryImage& image,
                                   const hexpoke::FileExtras& extras = {});

#endif  // HEXPOKE_IMAGE_IMAGE_TO_RECORDS_H_
