// SPDX-License-Identifier: MIT
#include "driver/PatchStage.h"

#include <cstdint>
#include <stdexcept>

#include "records/RecordFormat.h"
#include "util/HexByteText.h"

namespace hexpoke {

bool IsWellFormedValue(const std::string& value) {
  return !value.empty() && value.size() % 2 == 0;
}

Bytes ValueBytes(const std::string& value) {
  Bytes bytes;
  bytes.reserve(value.size() / 2);
  for (std::size_t i = 0; i + 1 < value.size(); i += 2) {
    bytes.push_back(HexTextToByte(std::string_view(value).substr(i, 2)));
  }
  return bytes;
}

void PatchImage(MemoryImage& image, int address, const Bytes& bytes) {
  const std::uint64_t count = bytes.size();
  if (address < 0 ||
      count > MemoryImage::kAddressSpace - static_cast<std::uint64_t>(address)) {
    throw std::out_of_range("Address out of range");
  }
  const auto first = static_cast<std::uint64_t>(address);
  const std::uint64_t end = image.end();
  if (first < record_format::kWindowSize && first > end) {
    image.Place(end, Bytes(static_cast<std::size_t>(first - end), 0));
  }
  image.Place(first, bytes);
}

}  // namespace hexpoke
