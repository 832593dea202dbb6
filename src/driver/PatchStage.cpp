#include "driver/PatchStage.h"

#include <algorithm>
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
  // In 64 bits, address + size cannot overflow.
  const std::int64_t end =
      static_cast<std::int64_t>(address) + static_cast<std::int64_t>(bytes.size());
  if (address < 0 ||
      end > static_cast<std::int64_t>(record_format::kLargestImage)) {
    throw std::out_of_range("Address out of range");
  }
  const auto first = static_cast<std::size_t>(address);
  if (image.size() < static_cast<std::size_t>(end)) {
    image.resize(static_cast<std::size_t>(end), 0);
  }
  std::copy(bytes.begin(), bytes.end(),
            image.begin() + static_cast<std::ptrdiff_t>(first));
}

}  // namespace hexpoke
