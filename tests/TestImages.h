// SPDX-License-Identifier: MIT
// Helpers for tests that build record lines and compare memory images.

#ifndef HEXPOKE_TESTS_TEST_IMAGES_H_
#define HEXPOKE_TESTS_TEST_IMAGES_H_

#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "image/MemoryImage.h"
#include "records/IntelHexRecord.h"

namespace hexpoke {

// An image as its runs: (address, bytes), in ascending order, as
// MemoryImage::ForEachRun gives them.
using Runs = std::vector<std::pair<std::uint64_t, Bytes>>;

inline Runs RunsOf(const MemoryImage& image) {
  Runs runs;
  image.ForEachRun([&runs](std::uint64_t address, const std::uint8_t* data,
                           std::uint64_t count) {
    runs.emplace_back(address, Bytes(data, data + count));
  });
  return runs;
}

inline MemoryImage ImageOf(const Runs& runs) {
  MemoryImage image;
  for (const auto& [address, bytes] : runs) image.Place(address, bytes);
  return image;
}

// `count` bytes counting up from `first`.
inline Bytes Range(std::uint8_t first, std::size_t count) {
  Bytes bytes;
  for (std::size_t i = 0; i < count; ++i) {
    bytes.push_back(static_cast<std::uint8_t>(first + i));
  }
  return bytes;
}

// A record line of `type` for `data` at `address`, with a correct checksum.
inline std::string Line(unsigned address, const Bytes& data,
                        unsigned type = 0) {
  static const char kDigits[] = "0123456789ABCDEF";
  Bytes raw = {static_cast<std::uint8_t>(data.size()),
               static_cast<std::uint8_t>(address >> 8),
               static_cast<std::uint8_t>(address),
               static_cast<std::uint8_t>(type)};
  raw.insert(raw.end(), data.begin(), data.end());
  std::uint8_t sum = 0;
  std::string line = ":";
  for (const std::uint8_t b : raw) {
    line += kDigits[b >> 4];
    line += kDigits[b & 15];
    sum = static_cast<std::uint8_t>(sum + b);
  }
  sum = static_cast<std::uint8_t>(-sum);
  line += kDigits[sum >> 4];
  line += kDigits[sum & 15];
  return line;
}

}  // namespace hexpoke

#endif  // HEXPOKE_TESTS_TEST_IMAGES_H_
