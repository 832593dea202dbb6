#ifndef HEXPOKE_DRIVER_PATCH_STAGE_H_
#define HEXPOKE_DRIVER_PATCH_STAGE_H_

#include <string>

#include "image/ImageToRecords.h"

namespace hexpoke {

// A value must be a non-empty run of digit pairs; one that is not earns the
// line "Wrong walue".
bool IsWellFormedValue(const std::string& value);

// The value's pairs, from the left, each read by HexTextToByte: so
// "0a1B" gives 0A 1B and "zz" gives 00, without complaint.
// REQUIRES: IsWellFormedValue(value).
Bytes ValueBytes(const std::string& value);

// Writes `bytes` over the image from `address` on, growing the image with
// 00 bytes where it is too short; no byte moves and the image never shrinks.
// Throws std::out_of_range("Address out of range") when address is negative
// or address + bytes.size() exceeds record_format::kLargestImage, before the
// image is touched.
void PatchImage(MemoryImage& image, int address, const Bytes& bytes);

}  // namespace hexpoke

#endif  // HEXPOKE_DRIVER_PATCH_STAGE_H_
