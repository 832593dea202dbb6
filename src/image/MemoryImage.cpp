#include "image/MemoryImage.h"

#include <algorithm>
#include <cassert>
#include <iterator>
#include <numeric>
#include <utility>

namespace hexpoke {

namespace {

using Piece = std::vector<std::uint8_t>;

std::uint64_t PieceEnd(const std::pair<const std::uint64_t, Piece>& piece) {
  return piece.first + piece.second.size();
}

}  // namespace

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
      std::copy_n(data, inside, top.begin() + static_cast<std::ptrdiff_t>(offset));
      top.insert(top.end(), data + inside, data + count);
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
      std::copy_n(data, inside, piece.begin() + static_cast<std::ptrdiff_t>(offset));
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
      Piece& before = std::prev(next)->second;
      before.insert(before.end(), data, data + length);
    } else {
      pieces_.emplace_hint(next, address, Piece(data, data + length));
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
  Piece joined;
  for (auto piece = pieces_.begin(); piece != pieces_.end();) {
    const auto first = piece++;
    if (piece == pieces_.end() || piece->first != PieceEnd(*first)) {
      visit(first->first, first->second.data(), first->second.size());
      continue;
    }
    // Pieces that touch are one run; they are copied together only here.
    joined.assign(first->second.begin(), first->second.end());
    for (; piece != pieces_.end() && piece->first == first->first + joined.size();
         ++piece) {
      joined.insert(joined.end(), piece->second.begin(), piece->second.end());
    }
    visit(first->first, joined.data(), joined.size());
  }
}

bool MemoryImage::operator==(const MemoryImage& other) const {
  using Runs = std::vector<std::pair<std::uint64_t, Piece>>;
  const auto runs = [](const MemoryImage& image) {
    Runs all;
    image.ForEachRun([&all](std::uint64_t address, const std::uint8_t* data,
                            std::uint64_t count) {
      all.emplace_back(address, Piece(data, data + count));
    });
    return all;
  };
  return runs(*this) == runs(other);
}

}  // namespace hexpoke
