// SPDX-License-Identifier: MIT
#include "image/MemoryImage.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <iterator>
#include <new>
#include <numeric>
#include <tuple>
#include <utility>

namespace hexpoke {

namespace {

template <typename Entry>
std::uint64_t PieceEnd(const Entry& piece) {
  return piece.first + piece.second.size();
}

}  // namespace

MemoryImage::Piece& MemoryImage::Piece::operator=(const Piece& other) {
  if (this != &other) {
    size_ = 0;
    Append(other.data(), other.size());
  }
  return *this;
}

MemoryImage::Piece& MemoryImage::Piece::operator=(Piece&& other) noexcept {
  std::swap(bytes_, other.bytes_);
  std::swap(size_, other.size_);
  std::swap(capacity_, other.capacity_);
  return *this;
}

void MemoryImage::Piece::Append(const std::uint8_t* data, std::size_t count) {
  if (count == 0) return;
  if (count > capacity_ - size_) {
    const std::size_t capacity = std::max(size_ + count, 2 * capacity_);
    void* grown = std::realloc(bytes_, capacity);
    if (grown == nullptr) throw std::bad_alloc();
    bytes_ = static_cast<std::uint8_t*>(grown);
    capacity_ = capacity;
  }
  std::memcpy(bytes_ + size_, data, count);
  size_ += count;
}

void MemoryImage::Place(std::uint64_t address, const std::uint8_t* data,
                        std::uint64_t count) {
  assert(address <= kAddressSpace && count <= kAddressSpace - address);
  // Files mostly list their bytes in ascending order: over the highest
  // piece or right after it. That needs no search.
  if (!pieces_.empty()) {
    auto& [start, top] = *pieces_.rbegin();
    if (address >= start && address <= start + top.size()) {
      const auto offset = static_cast<std::size_t>(address - start);
      const auto inside = static_cast<std::size_t>(
          std::min<std::uint64_t>(count, top.size() - offset));
      std::copy_n(data, inside, top.data() + offset);
      top.Append(data + inside, static_cast<std::size_t>(count) - inside);
      return;
    }
  }
  PlaceAnywhere(address, data, count);
}

void MemoryImage::PlaceAnywhere(std::uint64_t address, const std::uint8_t* data,
                                std::uint64_t count) {
  const std::uint64_t stop = address + count;
  auto next = pieces_.upper_bound(address);
  if (next != pieces_.begin() && PieceEnd(*std::prev(next)) > address) --next;
  // From here `next` is the piece that holds `address`, or the first one
  // above it.
  while (address < stop) {
    if (next != pieces_.end() && next->first <= address) {
      Piece& piece = next->second;
      const auto offset = static_cast<std::size_t>(address - next->first);
      const auto inside = static_cast<std::size_t>(
          std::min<std::uint64_t>(stop - address, piece.size() - offset));
      std::copy_n(data, inside, piece.data() + offset);
      data += inside;
      address += inside;
      if (address == PieceEnd(*next)) ++next;
      continue;
    }
    // A gap, up to the next piece or the end of the bytes: it goes on from
    // a piece that ends where it begins, or makes a piece of its own.
    const std::uint64_t gap_end =
        next == pieces_.end() ? stop : std::min(stop, next->first);
    const auto length = static_cast<std::size_t>(gap_end - address);
    if (next != pieces_.begin() && PieceEnd(*std::prev(next)) == address) {
      std::prev(next)->second.Append(data, length);
    } else {
      pieces_.emplace_hint(next, std::piecewise_construct,
                           std::forward_as_tuple(address),
                           std::forward_as_tuple(data, length));
    }
    data += length;
    address = gap_end;
  }
}

std::uint64_t MemoryImage::size() const {
  return std::accumulate(pieces_.begin(), pieces_.end(), std::uint64_t{0},
                         [](std::uint64_t bytes, const auto& piece) {
                           return bytes + piece.second.size();
                         });
}

std::uint64_t MemoryImage::end() const {
  return pieces_.empty() ? 0 : PieceEnd(*pieces_.rbegin());
}

void MemoryImage::ForEachRun(const RunVisitor& visit) const {
  std::vector<std::uint8_t> joined;
  for (auto piece = pieces_.begin(); piece != pieces_.end();) {
    const auto first = piece++;
    if (piece == pieces_.end() || piece->first != PieceEnd(*first)) {
      visit(first->first, first->second.data(), first->second.size());
      continue;
    }
    // Pieces that touch are one run; they are copied together only here.
    joined.assign(first->second.data(), first->second.data() + first->second.size());
    for (; piece != pieces_.end() && piece->first == first->first + joined.size();
         ++piece) {
      joined.insert(joined.end(), piece->second.data(),
                    piece->second.data() + piece->second.size());
    }
    visit(first->first, joined.data(), joined.size());
  }
}

bool MemoryImage::operator==(const MemoryImage& other) const {
  using Runs = std::vector<std::pair<std::uint64_t, std::vector<std::uint8_t>>>;
  const auto runs = [](const MemoryImage& image) {
    Runs all;
    image.ForEachRun([&all](std::uint64_t address, const std::uint8_t* data,
                            std::uint64_t count) {
      all.emplace_back(address, std::vector<std::uint8_t>(data, data + count));
    });
    return all;
  };
  return runs(*this) == runs(other);
}

}  // namespace hexpoke
