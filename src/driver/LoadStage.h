#ifndef HEXPOKE_DRIVER_LOAD_STAGE_H_
#define HEXPOKE_DRIVER_LOAD_STAGE_H_

#include <cstddef>
#include <istream>
#include <ostream>

#include "image/ImageToRecords.h"

namespace hexpoke {

// Reads `in` to its end and builds the memory image from the record lines it
// holds. A UTF-8 byte order mark at the very start is skipped. The rest is
// taken as words separated by white space (blank, tab, line feed, vertical
// tab, form feed, carriage return), and each word is parsed as a record line
// (DecodeRecordLine), its messages going to `messages`. Of the lines that
// pass:
//  - a data (00) or end-of-file (01) record has each of its data bytes
//    written at its address, over whatever an earlier record put there; the
//    image grows with 00 bytes up to the highest address written, and an
//    empty record changes nothing;
//  - an extended segment (02) or linear (04) address record with two data
//    bytes sets the base, V * 16 or V * 65536, that is added to the addresses
//    of the records after it;
//  - every other record is skipped.
// Nothing moves once written, so loading costs time in proportion to the
// input.
//
// Throws std::runtime_error("Image too large") as soon as a record holds a
// byte for an address of 64 KiB (record_format::kLargestImage) or more,
// which the 16-bit addresses of the output could not carry, and
// std::runtime_error("File not read") if reading fails other than by
// reaching the end.
MemoryImage LoadImage(std::istream& in, std::ostream& messages);

// LoadImage reads `in` in blocks of this many characters; words may span
// blocks.
inline constexpr std::size_t kLoadBlockSize = std::size_t{16} * 1024;

}  // namespace hexpoke

#endif  // HEXPOKE_DRIVER_LOAD_STAGE_H_
