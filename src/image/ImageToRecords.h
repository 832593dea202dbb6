#ifndef HEXPOKE_IMAGE_IMAGE_TO_RECORDS_H_
#define HEXPOKE_IMAGE_IMAGE_TO_RECORDS_H_

#include <cassert>
#include <cstddef>
#include <memory>

#include "records/IntelHexRecord.h"
#include "records/RecordFormat.h"

// Memory image: byte i is the byte at address i.
using MemoryImage = Bytes;

// Cuts `image` into data records of 16 bytes (the last one shorter), at
// addresses 0000, 0010, ... in ascending order, and closes the list with one
// end-of-file record. Every byte is data: runs of 00 or FF are written like
// any other.
//
// REQUIRES: image.size() <= record_format::kLargestImage (64 KiB). Record
// addresses have 16 bits; the load and patch stages refuse larger images, so
// that no address is ever wrapped.
RecordList ImageToRecords(const MemoryImage& image);

// Calls `visit` with each record that ImageToRecords(image) would return, in
// the same order, without keeping them: a single data record is refilled for
// every 16 bytes. For a writer that needs each record only once, this saves
// two allocations per record and the memory of the whole list.
// REQUIRES: as ImageToRecords.
template <typename Visit>
void ForEachImageRecord(const MemoryImage& image, Visit&& visit);

namespace image_internal {
// Sets `raw` to the raw record bytes of the data record at `offset`.
void FillDataRecord(const MemoryImage& image, std::size_t offset, Bytes& raw);
}  // namespace image_internal

template <typename Visit>
void ForEachImageRecord(const MemoryImage& image, Visit&& visit) {
  assert(image.size() <= record_format::kLargestImage);
  CIntelBinRecord data;
  for (std::size_t offset = 0; offset < image.size();
       offset += record_format::kOutputDataBytes) {
    image_internal::FillDataRecord(image, offset, data.RawBytes());
    visit(static_cast<const CAbstractIntelHexRecord&>(data));
  }
  const std::unique_ptr<CAbstractIntelHexRecord> end_of_file =
      MakeRecord(record_format::kEndOfFileType);
  visit(static_cast<const CAbstractIntelHexRecord&>(*end_of_file));
}

#endif  // HEXPOKE_IMAGE_IMAGE_TO_RECORDS_H_
