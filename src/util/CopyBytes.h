// SPDX-License-Identifier: MIT
#ifndef HEXPOKE_UTIL_COPY_BYTES_H_
#define HEXPOKE_UTIL_COPY_BYTES_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace hexpoke {

// memcpy(to, from, count), for the many copies here of a record's worth of
// bytes or less: up to 16 bytes are moved in two fixed-size copies that may
// overlap, with no call.
inline void CopyBytes(std::uint8_t* to, const std::uint8_t* from, std::size_t count) {
  // The first and the last sizeof(word) bytes, which between them cover
  // count bytes from that size to twice it.
  const auto copy_ends = [&](auto word) {
    decltype(word) tail;
    std::memcpy(&word, from, sizeof word);
    std::memcpy(&tail, from + count - sizeof tail, sizeof tail);
    std::memcpy(to, &word, sizeof word);
    std::memcpy(to + count - sizeof tail, &tail, sizeof tail);
  };
  if (count > 16) {
    std::memcpy(to, from, count);
  } else if (count >= 8) {
    copy_ends(std::uint64_t{});
  } else if (count >= 4) {
    copy_ends(std::uint32_t{});
  } else if (count != 0) {
    // 1 to 3 bytes: the first, the middle one and the last.
    const std::uint8_t first = from[0], middle = from[count / 2], last = from[count - 1];
    to[0] = first;
    to[count / 2] = middle;
    to[count - 1] = last;
  }
}

}  // namespace hexpoke

#endif  // HEXPOKE_UTIL_COPY_BYTES_H_
