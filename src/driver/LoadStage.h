#ifndef HEXPOKE_DRIVER_LOAD_STAGE_H_
#define HEXPOKE_DRIVER_LOAD_STAGE_H_

#include <istream>
#include <ostream>

#include "image/ImageToRecords.h"

namespace hexpoke {

// Reads `in` to its end as whitespace-separated words (blank, tab, line
// feed, vertical tab, form feed, carriage return), parses each word as a
// record line and inserts the data of every record into the image before
// index <record address>: the bytes from there on move up. A record that
// lies beyond the end of the image first grows it with 00 bytes up to its
// address. The parser's messages go to `messages`.
//
// Throws std::runtime_error("File not read") if reading fails other than by
// reaching the end, and std::runtime_error("Image too large") as soon as the
// image would exceed record_format::kLargestImage bytes.
MemoryImage LoadImage(std::istream& in, std::ostream& messages);

}  // namespace hexpoke

#endif  // HEXPOKE_DRIVER_LOAD_STAGE_H_
