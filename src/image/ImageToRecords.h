#ifndef HEXPOKE_IMAGE_IMAGE_TO_RECORDS_H_
#define HEXPOKE_IMAGE_IMAGE_TO_RECORDS_H_

#include "records/IntelHexRecord.h"

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

#endif  // HEXPOKE_IMAGE_IMAGE_TO_RECORDS_H_
