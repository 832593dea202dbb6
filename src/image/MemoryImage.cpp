// SPDX-License-Identifier: MIT
#include "image/MemoryImage.h"

#include <algorithm>
#include <atomic>
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

// The blocks that the buffers of all images hold now, and the most they
// have held at once.
std::atomic<std::uint64_t> blocks_held{0};
std::atomic<std::uint64_t> peak_blocks_held{0};

void NoteBlockTaken() {
  const std::uint64_t now = blocks_held.fetch_add(1, std::memory_order_relaxed) + 1;
  std::uint64_t peak = peak_blocks_held.load(std::memory_order_relaxed);
  while (now > peak &&
         !peak_blocks_held.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
  }
}

void NoteBlockGiven() { blocks_held.fetch_sub(1, std::memory_order_relaxed); }

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
  const std::uint64_t doubled = std::min(kMaxItems, std::uint64_t{2} * capacity_);
  Reallocate(std::max(std::uint64_t{size_} + count, doubled));
}

template <typename T>
void MemoryImage::Buffer<T>::Reallocate(std::uint64_t capacity) {
  if (capacity > kMaxItems) throw std::bad_alloc();
  void* grown = std::realloc(items_, static_cast<std::size_t>(capacity) * sizeof(T));
  if (grown == nullptr) throw std::bad_alloc();
  if (items_ == nullptr) NoteBlockTaken();
  items_ = static_cast<T*>(grown);
  capacity_ = static_cast<std::size_t>(capacity);
}

template <typename T>
void MemoryImage::Buffer<T>::Release() {
  if (items_ != nullptr) NoteBlockGiven();
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
  placements_.Add(Placement{static_cast<std::uint32_t>(address + count - 1),
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
            [](const Placement& a, const Placement& b) { return a.last < b.last; });

  // The new runs are the union of the runs and the placements. Every byte
  // held keeps its order and moves up by the bytes placed below it, so the
  // union is made from the top down, in place: each run's bytes are moved
  // up in the arena, grown to the new size, over bytes already moved, and
  // each new run is written into the run array, grown by the number of
  // placements, above every run still to be read (the new runs number no
  // more than the runs and placements read so far).
  //
  // Calls visit(first, stop, is_run, index) for each run and placement,
  // highest stop first, with `index` where it is among the runs or the
  // placements. A run's end comes from the offset of the run after it, read before
  // any new run is written over it.
  const std::size_t run_count = runs_.size();
  const std::uint64_t arena_size = arena_.size();
  const auto visit_down = [&](auto&& visit) {
    std::uint64_t offset_end = arena_size;  // of the run below `run`
    for (std::size_t run = run_count, next = placement_count; run != 0 || next != 0;) {
      const std::uint64_t run_stop =
          run == 0 ? 0 : runs_[run - 1].address + (offset_end - runs_[run - 1].offset);
      if (next == 0 || (run != 0 && run_stop > placements[next - 1].last)) {
        --run;
        offset_end = runs_[run].offset;
        visit(std::uint64_t{runs_[run].address}, run_stop, true, run);
      } else {
        --next;
        const std::uint64_t stop = std::uint64_t{placements[next].last} + 1;
        visit(stop - placements[next].count, stop, false, next);
      }
    }
  };

  // The union's size, and whether any placements overlap one another.
  std::uint64_t held = 0;
  bool overlapping = false;
  {
    std::uint64_t open_start = kNowhere, open_end = kNowhere;  // the new run open
    std::uint64_t placed_start = kNowhere;  // the lowest placement seen
    visit_down([&](std::uint64_t first, std::uint64_t stop, bool is_run, std::size_t) {
      if (!is_run) {
        overlapping = overlapping || stop > placed_start;
        placed_start = std::min(placed_start, first);
      }
      if (stop >= open_start) {
        open_start = std::min(open_start, first);
      } else {
        held += open_end - open_start;
        open_start = first;
        open_end = stop;
      }
    });
    held += open_end - open_start;
  }

  // Both grown before either changes, so that a failure to grow them
  // leaves the image as it was.
  runs_.Reserve(std::uint64_t{run_count} + placement_count);
  arena_.Reserve(held);
  runs_.Resize(std::uint64_t{run_count} + placement_count);
  arena_.Resize(held);
  std::uint8_t* const arena = arena_.data();
  // Runs whose bytes move up by the same distance, next to one another in
  // the arena, are moved at once: bytes [move_start, move_end) by move_by.
  std::uint64_t move_start = arena_size, move_end = arena_size, move_by = 0;
  const auto move = [&] {
    if (move_by != 0 && move_start != move_end) {
      std::memmove(arena + move_start + move_by, arena + move_start,
                   static_cast<std::size_t>(move_end - move_start));
    }
  };
  std::size_t written = runs_.size();  // new runs are at [written, size)
  std::uint64_t above = 0;  // bytes of the new runs above the open one
  std::uint64_t open_start = kNowhere, open_end = kNowhere;
  visit_down([&](std::uint64_t first, std::uint64_t stop, bool is_run, std::size_t index) {
    // Read before a new run may be written over it.
    const std::uint64_t offset = is_run ? runs_[index].offset : 0;
    if (stop >= open_start) {
      open_start = std::min(open_start, first);
    } else {
      if (open_end != kNowhere) {
        above += open_end - open_start;
        runs_[--written] = Run{static_cast<std::uint32_t>(open_start),
                               static_cast<std::uint32_t>(held - above)};
      }
      open_start = first;
      open_end = stop;
    }
    // Where `first` goes in the new arena: the open run ends where the new
    // runs above it begin.
    const std::uint64_t to = held - above - (open_end - first);
    if (!is_run) {
      // From here on, where the placement's bytes go.
      placements[index].last = static_cast<std::uint32_t>(to);
    } else if (to - offset == move_by) {
      move_start = offset;
    } else {
      move();
      move_start = offset;
      move_end = offset + (stop - first);
      move_by = to - offset;
    }
  });
  move();
  if (open_end != kNowhere) {
    above += open_end - open_start;
    runs_[--written] = Run{static_cast<std::uint32_t>(open_start),
                           static_cast<std::uint32_t>(held - above)};
  }
  assert(above == held);
  const std::size_t new_count = runs_.size() - written;
  std::memmove(runs_.data(), runs_.data() + written, new_count * sizeof(Run));
  runs_.Resize(new_count);

  // Then the placements, in the order placed where they overlap, over the
  // bytes held.
  if (overlapping) {
    std::sort(placements, placements + placement_count,
              [](const Placement& a, const Placement& b) { return a.source < b.source; });
  }
  for (std::size_t i = 0; i < placement_count; ++i) {
    std::memcpy(arena + placements[i].last, pending_bytes_.data() + placements[i].source,
                placements[i].count);
  }
  placements_.Clear();
  pending_bytes_.Clear();
  pending_start_ = pending_end_ = 0;
  FindAppendPoint();
}

void MemoryImage::Settle() const {
  Merge();
  placements_.Release();
  pending_bytes_.Release();
}

std::uint64_t MemoryImage::size() const {
  Settle();
  return arena_.size();
}

std::uint64_t MemoryImage::end() const {
  const std::uint64_t runs_end = runs_.empty() ? 0 : RunEnd(runs_.size() - 1);
  return placements_.empty() ? runs_end : std::max(runs_end, pending_end_);
}

bool MemoryImage::operator==(const MemoryImage& other) const {
  Settle();
  other.Settle();
  // Both are their runs, each as long as it can be: equal bytes are equal
  // runs over equal arenas.
  return runs_.size() == other.runs_.size() && arena_.size() == other.arena_.size() &&
         std::equal(runs_.data(), runs_.data() + runs_.size(), other.runs_.data(),
                    [](const Run& a, const Run& b) {
                      return a.address == b.address && a.offset == b.offset;
                    }) &&
         std::equal(arena_.data(), arena_.data() + arena_.size(), other.arena_.data());
}

std::uint64_t MemoryImage::PeakBlocks() {
  return peak_blocks_held.load(std::memory_order_relaxed);
}

void MemoryImage::ResetPeakBlocks() {
  peak_blocks_held.store(blocks_held.load(std::memory_order_relaxed),
                         std::memory_order_relaxed);
}

template class MemoryImage::Buffer<MemoryImage::Run>;
template class MemoryImage::Buffer<MemoryImage::Placement>;
template class MemoryImage::Buffer<std::uint8_t>;

}  // namespace hexpoke
