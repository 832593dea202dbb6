// SPDX-License-Identifier: MIT
#ifndef HEXPOKE_DRIVER_PATCH_STAGE_H_
#define HEXPOKE_DRIVER_PATCH_STAGE_H_

#include <string>

#include "image/MemoryImage.h"
#include "records/IntelHexRecord.h"

namespace hexpoke {

// A value must be a non-empty run of digit pairs; one that is not earns the
// line "Wrong walue".
bool IsWellFormedValue(const std::string& value);

// The value's pairs, from the left, each read by HexTextToByte: so
// "0a1B" gives 0A 1B and "zz" gives 00, without complaint.
// REQUIRES: IsWellFormedValue(value).
Bytes ValueBytes(const std::string& value);

// Writes `bytes` into the image from `address` on, over data or into gaps;
// nothing moves. A patch that starts in the first 64 KiB at or past the end
// of the image (one past its highest byte; 0 for an empty image) first
// grows the image with 00 bytes from that end up to the address, so that
// the image stays one run from 0000 when it was one. Every other patch
// writes its own bytes and nothing else.
// Throws std::out_of_range("Address out of range") when address is negative
// or the bytes would end beyond the 32-bit address space, before the image
// is touched.
void PatchImage(MemoryImage& image, int address, const Bytes& bytes);

}  // namespace hexpoke

#endif  // HEXPOKE_DRIVER_PATCH_STAGE_H_
