#ifndef HEXPOKE_IMAGE_IMAGE_TO_RECORDS_H_
#define HEXPOKE_IMAGE_IMAGE_TO_RECORDS_H_

#include <functional>

#include "records/IntelHexRecord.h"

namespace hexpoke {

// Memory image: byte i is the byte at address i.
using MemoryImage = Bytes;

// Calls `visit` with each record that ImageToRecords(image) would return, in
// the same order, without keeping them: one data record is refilled for
// every 16 bytes. For a writer that needs each record only once, this saves
// two allocations per record and the memory of the whole list.
// REQUIRES: as ImageToRecords.
void ForEachImageRecord(
    const MemoryImage& image,
    const std::function<void(const CAbstractIntelHexRecord&)>& visit);

}  // namespace hexpoke

// Cuts `image` into data records of 16 bytes (the last one shorter), at
// addresses 0000, 0010, ... in ascending order, and closes the list with one
// end-of-file record. Every byte is data: runs of 00 or FF are written like
// any other.
//
// REQUIRES: image.size() <= record_format::kLargestImage (64 KiB). Record
// addresses have 16 bits; the load and patch stages refuse larger images, so
// that no address is ever wrapped.
hexpoke::RecordList ImageToRecords(const hexpoke::MemoryImage& image);

#endif  // HEXPOKE_IMAGE_IMAGE_TO_RECORDS_H_
