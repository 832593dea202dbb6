// SPDX-License-Identifier: MIT
#include "image/MemoryImage.h"

#include <algorithm>
#include <cassert>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

namespace hexpoke {

namespace {

// A placement's count is kept in 32 bits: a longer one is placed in parts,
// of 1 GiB, which a pointer can step over on every platform.
constexpr std::uint64_t kMaxPlacement = std::uint64_t{1} << 30;

// Placements are merged in no sooner than when they take this much memory,
// so that a small image is not merged over and over.
constexpr std::uint64_t kMinMergeBytes = 4096;

}  // namespace

template <typename T>
MemoryImage::Buffer<T>& MemoryImage::Buffer<T>::operator=(const Buffer& other) {
  if (this != &other) {
    size_ = 0;
    Append(other.data(), other.size());
  }
  return *this;
}

template <typename T>
MemoryImage::Buffer<T>& MemoryImage::Buffer<T>::operator=(Buffer&& other) noexcept {
  Swap(other);
  return *this;
}

template <typename T>
void MemoryImage::Buffer<T>::Grow(std::uint64_t count) {
  constexpr std::uint64_t kMaxItems = std::numeric_limits<std::size_t>::max() / sizeof(T);
  const std::uint64_t needed = std::uint64_t{size_} + count;
  if (needed > kMaxItems) throw std::bad_alloc();
  const std::uint64_t capacity =
      std::min(kMaxItems, std::max(needed, std::uint64_t{2} * capacity_));
  void* grown = std::realloc(items_, static_cast<std::size_t>(capacity) * sizeof(T));
  if (grown == nullptr) throw std::bad_alloc();
  items_ = static_cast<T*>(grown);
  capacity_ = static_cast<std::size_t>(capacity);
}

template <typename T>
void MemoryImage::Buffer<T>::Release() {
  std::free(items_);
  items_ = nullptr;
  size_ = capacity_ = 0;
}

template <typename T>
void MemoryImage::Buffer<T>::Swap(Buffer& other) noexcept {
  std::swap(items_, other.items_);
  std::swap(size_, other.size_);
  std::swap(capacity_, other.capacity_);
}

std::uint64_t MemoryImage::RunEnd(std::size_t run) const {
  return runs_[run].address + (RunOffsetEnd(run) - runs_[run].offset);
}

std::size_t MemoryImage::RunAtOrBefore(std::uint64_t address) const {
  const Run* after = std::upper_bound(
      runs_.data(), runs_.data() + runs_.size(), address,
      [](std::uint64_t at, const Run& run) { return at < run.address; });
  return after == runs_.data() ? runs_.size()
                               : static_cast<std::size_t>(after - runs_.data()) - 1;
}

void MemoryImage::FindAppendPoint() const {
  append_at_ = placements_.empty() && !runs_.empty() ? RunEnd(runs_.size() - 1) : kNowhere;
}

void MemoryImage::PlaceElsewhere(std::uint64_t address, const std::uint8_t* data,
                                 std::uint64_t count) {
  assert(address <= kAddressSpace && count <= kAddressSpace - address);
  if (count == 0) return;
  if (count > kMaxPlacement) {
    for (std::uint64_t done = 0; done < count; done += kMaxPlacement) {
      PlaceElsewhere(address + done, data + done, std::min(kMaxPlacement, count - done));
    }
    return;
  }
  const std::uint64_t stop = address + count;
  const std::uint64_t last_start = runs_.empty() ? 0 : runs_.back().address;
  const std::uint64_t last_end = runs_.empty() ? 0 : RunEnd(runs_.size() - 1);
  if (!placements_.empty() && address < pending_end_ && stop > pending_start_) {
    // Bytes that a pending placement may overlap are merged after it.
    AddPlacement(address, data, count);
  } else if (runs_.empty() || address > last_end) {
    runs_.Add(Run{static_cast<std::uint32_t>(address),
                  static_cast<std::uint32_t>(arena_.size())});
    arena_.Append(data, count);
  } else if (address >= last_start) {
    // Over the last run, and on past its end.
    const std::uint64_t inside = std::min(count, last_end - address);
    std::memcpy(arena_.data() + runs_.back().offset + (address - last_start), data,
                static_cast<std::size_t>(inside));
    arena_.Append(data + inside, count - inside);
  } else {
    // Over bytes held, such as a patch, they are written where they lie.
    const std::size_t run = RunAtOrBefore(address);
    if (run != runs_.size() && stop <= RunEnd(run)) {
      std::memcpy(arena_.data() + runs_[run].offset + (address - runs_[run].address),
                  data, static_cast<std::size_t>(count));
    } else {
      AddPlacement(address, data, count);
    }
  }
  FindAppendPoint();
}

void MemoryImage::AddPlacement(std::uint64_t address, const std::uint8_t* data,
                               std::uint64_t count) {
  if (placements_.empty()) {
    pending_start_ = address;
    pending_end_ = address + count;
  } else {
    pending_start_ = std::min(pending_start_, address);
    pending_end_ = std::max(pending_end_, address + count);
  }
  placements_.Add(Placement{static_cast<std::uint32_t>(address),
                            static_cast<std::uint32_t>(count),
                            pending_bytes_.size()});
  pending_bytes_.Append(data, count);
  const std::uint64_t pending =
      placements_.size() * sizeof(Placement) + pending_bytes_.size();
  const std::uint64_t held = runs_.size() * sizeof(Run) + arena_.size();
  if (pending >= std::max(held, kMinMergeBytes)) Merge();
}

void MemoryImage::Merge() const {
  if (placements_.empty()) return;
  Placement* const placements = placements_.data();
  const std::size_t placement_count = placements_.size();
  std::sort(placements, placements + placement_count,
            [](const Placement& a, const Placement& b) { return a.address < b.address; });

  // The new runs: the union of the runs and the placements, in one pass
  // over both in order of address. Each placement learns where its bytes
  // go.
  Buffer<Run> runs;
  std::uint64_t held = 0;  // bytes in the new runs before the open one
  std::uint64_t open_start = 0, open_end = 0;  // the open one
  bool overlapping = false;  // some placements overlap one another
  std::uint64_t placed_end = 0;
  for (std::size_t run = 0, next = 0; run < runs_.size() || next < placement_count;) {
    const bool from_runs =
        next == placement_count ||
        (run < runs_.size() && runs_[run].address <= placements[next].address);
    std::uint64_t first, stop;
    if (from_runs) {
      first = runs_[run].address;
      stop = RunEnd(run);
      ++run;
    } else {
      first = placements[next].address;
      stop = first + placements[next].count;
      overlapping = overlapping || first < placed_end;
      placed_end = std::max(placed_end, stop);
    }
    if (!runs.empty() && first <= open_end) {
      open_end = std::max(open_end, stop);
    } else {
      held += open_end - open_start;
      open_start = first;
      open_end = stop;
      runs.Add(Run{static_cast<std::uint32_t>(open_start), static_cast<std::uint32_t>(held)});
    }
    if (!from_runs) {
      placements[next].address = static_cast<std::uint32_t>(held + (first - open_start));
      ++next;
    }
  }
  held += open_end - open_start;

  Buffer<std::uint8_t> arena;
  arena.Append(nullptr, held);
  // The bytes held go first, each run inside one new run; then the
  // placements, in the order placed where they overlap, over them.
  for (std::size_t run = 0, into = 0; run < runs_.size(); ++run) {
    while (into + 1 < runs.size() && runs[into + 1].address <= runs_[run].address) ++into;
    const std::uint64_t offset_end = RunOffsetEnd(run);
    std::memcpy(arena.data() + runs[into].offset + (runs_[run].address - runs[into].address),
                arena_.data() + runs_[run].offset,
                static_cast<std::size_t>(offset_end - runs_[run].offset));
  }
  if (overlapping) {
    std::sort(placements, placements + placement_count,
              [](const Placement& a, const Placement& b) { return a.source < b.source; });
  }
  for (std::size_t i = 0; i < placement_count; ++i) {
    std::memcpy(arena.data() + placements[i].address,
                pending_bytes_.data() + placements[i].source, placements[i].count);
  }
  runs_.Swap(runs);
  arena_.Swap(arena);
  placements_.Release();
  pending_bytes_.Release();
  pending_start_ = pending_end_ = 0;
  FindAppendPoint();
}

std::uint64_t MemoryImage::size() const {
  Merge();
  return arena_.size();
}

std::uint64_t MemoryImage::end() const {
  const std::uint64_t runs_end = runs_.empty() ? 0 : RunEnd(runs_.size() - 1);
  return placements_.empty() ? runs_end : std::max(runs_end, pending_end_);
}

bool MemoryImage::operator==(const MemoryImage& other) const {
  Merge();
  other.Merge();
  // Both are their runs, each as long as it can be: equal bytes are equal
  // runs over equal arenas.
  return runs_.size() == other.runs_.size() && arena_.size() == other.arena_.size() &&
         std::equal(runs_.data(), runs_.data() + runs_.size(), other.runs_.data(),
                    [](const Run& a, const Run& b) {
                      return a.address == b.address && a.offset == b.offset;
                    }) &&
         std::equal(arena_.data(), arena_.data() + arena_.size(), other.arena_.data());
}

template class MemoryImage::Buffer<MemoryImage::Run>;
template class MemoryImage::Buffer<MemoryImage::Placement>;
template class MemoryImage::Buffer<std::uint8_t>;

}  // namespace hexpoke
