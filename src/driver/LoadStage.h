// SPDX-License-Identifier: MIT
#ifndef HEXPOKE_DRIVER_LOAD_STAGE_H_
#define HEXPOKE_DRIVER_LOAD_STAGE_H_

#include <cstddef>
#include <istream>
#include <ostream>

#include "image/ImageToRecords.h"
#include "image/MemoryImage.h"

namespace hexpoke {

// What loading a file gives: its bytes, and what else it says.
struct LoadedFile {
  MemoryImage image;
  FileExtras extras;
};

// Reads `in` to its end and builds the memory image from the record lines it
// holds. It is taken as words separated by white space (blank, tab, line
// feed, vertical tab, form feed, carriage return), less a UTF-8 byte order
// mark that begins one (the file, or a file joined to it with cat), and
// each word is parsed as a record line (DecodeRecordLine), its messages
// going to `messages`; a line that fails is skipped, unless it is an
// address record (below). Of the lines that pass:
//  - a data (00) or end-of-file (01) record has each of its data bytes
//    written at base + its address and on, over whatever an earlier record
//    put there; an empty record changes nothing;
//  - an extended segment (02) or linear (04) address record, two data
//    bytes V, sets the base, V * 16 or V * 65536, for the records after it;
//    until one does, the base is linear and 0;
//  - a start segment (03) or linear (05) address record, four data bytes,
//    is kept, the last of each kind, in the extras;
//  - every other record is skipped.
// An end-of-file record ends nothing: the records after it are read alike.
// Under a linear base a record's bytes run on across a 64 KiB boundary.
// Nothing moves once written, so loading costs time in proportion to the
// input.
//
// Throws std::runtime_error, and stops reading at once:
//  - "Malformed address record" for an extended or start address record
//    that fails the length or checksum check (its type taken from its type
//    field, RecordTypeField), or holds other than its 2 or 4 data bytes:
//    what it leaves unknown is the address of every byte after it, or the
//    entry point;
//  - "Record crosses a segment boundary" for a record under a segment base
//    whose bytes run past the end of its 64 KiB segment, which readers
//    take in two different ways;
//  - "Image too large" for a record with a byte beyond the 32-bit address
//    space;
//  - "File not read" if reading fails other than by reaching the end;
//  - "Not an Intel HEX file", once all is read, where there were words and
//    not one of them began with ':' (S-records, UTF-16 text): another kind
//    of file, which written back would be lost whole.
LoadedFile LoadImage(std::istream& in, std::ostream& messages);

// LoadImage reads `in` in blocks of this many characters; words may span
// blocks.
inline constexpr std::size_t kLoadBlockSize = std::size_t{16} * 1024;

}  // namespace hexpoke

#endif  // HEXPOKE_DRIVER_LOAD_STAGE_H_
