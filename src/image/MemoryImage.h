// SPDX-License-Identifier: MIT
#ifndef HEXPOKE_IMAGE_MEMORY_IMAGE_H_
#define HEXPOKE_IMAGE_MEMORY_IMAGE_H_

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <type_traits>
#include <vector>

#include "util/CopyBytes.h"

namespace hexpoke {

// The bytes of a firmware image, each at its address in the 32-bit address
// space (0 to 0xFFFFFFFF), and nothing in between: an address at which no
// byte was placed is a gap, never a 00. Memory grows with the bytes held,
// not with the distance between them: a byte and about eight more for each
// run of bytes, however the runs were placed.
class MemoryImage {
 public:
  // One past the highest address: 4 GiB.
  static constexpr std::uint64_t kAddressSpace = std::uint64_t{1} << 32;

  // Writes the `count` bytes at `data` at `address` and the addresses after
  // it, over whatever was there; nothing else moves.
  // REQUIRES: address + count <= kAddressSpace.
  void Place(std::uint64_t address, const std::uint8_t* data,
             std::uint64_t count) {
    // Most bytes go right after the last run, or beyond it, where there is
    // room for them: that costs little more than copying them.
    if (address >= append_at_ && count <= arena_.room() &&
        (address == append_at_ || (runs_.room() != 0 && count != 0))) {
      if (address != append_at_) {
        *runs_.Append(nullptr, 1) = Run{static_cast<std::uint32_t>(address),
                                        static_cast<std::uint32_t>(arena_.size())};
      }
      std::uint8_t* at = arena_.Append(nullptr, count);
      // One byte a record, as in interleaved or scattered bytes, is common.
      if (count == 1) {
        *at = *data;
      } else {
        CopyBytes(at, data, static_cast<std::size_t>(count));
      }
      append_at_ = address + count;
      return;
    }
    PlaceElsewhere(address, data, count);
  }
  void Place(std::uint64_t address, const std::vector<std::uint8_t>& bytes) {
    Place(address, bytes.data(), bytes.size());
  }

  // The number of bytes held.
  std::uint64_t size() const;
  // One past the highest address that holds a byte; 0 for an empty image.
  std::uint64_t end() const;

  // Calls visit(address, data, count) for each run of bytes at consecutive
  // addresses, in ascending order of address. Runs are as long as they can
  // be: a gap lies between any two. `data` is valid until the image changes.
  // A template, so that an image of a million runs costs no call per run.
  template <typename Visit>
  void ForEachRun(Visit&& visit) const {
    Settle();
    for (std::size_t run = 0; run < runs_.size(); ++run) {
      visit(std::uint64_t{runs_[run].address}, arena_.data() + runs_[run].offset,
            RunOffsetEnd(run) - runs_[run].offset);
    }
  }

  // Whether both hold the same bytes at the same addresses.
  bool operator==(const MemoryImage& other) const;
  bool operator!=(const MemoryImage& other) const { return !(*this == other); }

  // The most blocks of memory that the images in the process have held at
  // once since ResetPeakBlocks() was last called. An image holds four at
  // the most, however its bytes were placed: a merge makes no second copy
  // of anything.
  static std::uint64_t PeakBlocks();
  // Starts PeakBlocks() over from the blocks held now.
  static void ResetPeakBlocks();

 private:
  // Elements of a trivially copyable type in one block from malloc, which
  // grows with realloc: where the allocator can, in place, so that what is
  // read in order is neither copied as it grows nor held twice meanwhile.
  template <typename T>
  class Buffer {
    static_assert(std::is_trivially_copyable_v<T>);

   public:
    Buffer() = default;
    Buffer(const Buffer& other) { Append(other.data(), other.size()); }
    Buffer& operator=(const Buffer& other);
    Buffer(Buffer&& other) noexcept { Swap(other); }
    Buffer& operator=(Buffer&& other) noexcept;
    ~Buffer() { Release(); }

    T* data() { return items_; }
    const T* data() const { return items_; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    // How many more elements fit without growing.
    std::size_t room() const { return capacity_ - size_; }
    T& operator[](std::size_t i) { return items_[i]; }
    const T& operator[](std::size_t i) const { return items_[i]; }
    T& back() { return items_[size_ - 1]; }
    const T& back() const { return items_[size_ - 1]; }

    // Adds `count` elements at the end, copied from `items`; or, with
    // nullptr, left for the caller to set. Returns where they start.
    T* Append(const T* items, std::uint64_t count) {
      if (count > capacity_ - size_) Grow(count);
      T* at = items_ + size_;
      if (items != nullptr && count != 0) {
        std::memcpy(at, items, static_cast<std::size_t>(count) * sizeof(T));
      }
      size_ += static_cast<std::size_t>(count);
      return at;
    }
    void Add(const T& item) { *Append(nullptr, 1) = item; }
    // Makes room for `count` elements in all, growing it, if it must, to
    // exactly that many.
    void Reserve(std::uint64_t count) {
      if (count > capacity_) Reallocate(count);
    }
    // Makes it `count` elements long: those added are left for the caller
    // to set.
    void Resize(std::uint64_t count) {
      Reserve(count);
      size_ = static_cast<std::size_t>(count);
    }
    // Empties it and keeps its memory, for what comes next.
    void Clear() { size_ = 0; }
    // Empties it and gives its memory back.
    void Release();
    void Swap(Buffer& other) noexcept;

   private:
    // Makes room for `count` more elements, at least doubling the room, so
    // that adding elements one at a time costs each a constant on average.
    void Grow(std::uint64_t count);
    // Makes room for `capacity` elements in all: realloc, which moves them
    // only where the block cannot grow where it lies.
    void Reallocate(std::uint64_t capacity);

    // The most elements that a block of memory can hold.
    static constexpr std::uint64_t kMaxItems =
        std::numeric_limits<std::size_t>::max() / sizeof(T);

    T* items_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
  };

  // A run of bytes held in arena_: it starts at `address`, and its bytes
  // at arena_[offset], up to where the next run's start there, or to the
  // arena's end for the last run. Both fit in 32 bits: an address is below
  // 4 GiB, and so is the number of bytes held before the last one.
  struct Run {
    std::uint32_t address;
    std::uint32_t offset;
  };

  // Bytes placed where they could not go straight into the runs, kept in
  // the order placed until they are merged in: `count` bytes ending at the
  // address `last` (which, unlike the address after them, fits in 32
  // bits), at pending_bytes_[source]. A merge takes them in order of
  // `last`, and then makes `last` the offset in the arena where the bytes
  // go.
  struct Placement {
    std::uint32_t last;
    std::uint32_t count;
    std::uint64_t source;
  };

  void PlaceElsewhere(std::uint64_t address, const std::uint8_t* data,
                      std::uint64_t count);
  // Sets append_at_ for the runs and placements as they are now.
  void FindAppendPoint() const;
  std::uint64_t RunEnd(std::size_t run) const;
  std::uint64_t RunOffsetEnd(std::size_t run) const {
    return run + 1 < runs_.size() ? runs_[run + 1].offset : arena_.size();
  }
  // The index of the run that holds `address` or is the last one before
  // it; runs_.size() when there is none before it.
  std::size_t RunAtOrBefore(std::uint64_t address) const;
  // Keeps bytes for a merge, which it starts when they take as much memory
  // as the runs do.
  void AddPlacement(std::uint64_t address, const std::uint8_t* data,
                    std::uint64_t count);
  // Merges the pending placements into the runs, in the memory the runs,
  // the arena and the placements already hold: no second copy of the image
  // is made. The placements' buffers are kept, emptied, for the bytes that
  // come next.
  void Merge() const;
  // Merges, and gives back the memory the placements took: for when the
  // image is read, as a whole.
  void Settle() const;

  // Runs in ascending order of address, with a gap between any two, and
  // their bytes in the same order. Bytes over or right after the last run
  // are placed in it, and bytes beyond it start a new one, all in constant
  // time; over a run they are written where they lie. Other bytes wait in
  // the placements, which are merged in, in O(n log n), before the image
  // is looked at or once they take as much memory as the runs, so that
  // merging costs each byte placed a constant amount on average.
  // The four buffers are all the memory the image takes, merging included:
  // they grow and are reused, and are never given back and taken anew
  // while bytes come in, so that the allocator is not left with freed
  // blocks too small for the next, larger ones.
  // Merging changes nothing that can be seen: it happens inside const
  // members too.
  mutable Buffer<Run> runs_;
  mutable Buffer<std::uint8_t> arena_;
  mutable Buffer<Placement> placements_;
  mutable Buffer<std::uint8_t> pending_bytes_;
  // What the placements cover, from the lowest address to one past the
  // highest; bytes placed elsewhere cannot be overwritten by them at the
  // merge, so they may go into the runs at once.
  mutable std::uint64_t pending_start_ = 0;
  mutable std::uint64_t pending_end_ = 0;
  // Where bytes can go at the end of the last run and the arena as they
  // come, and after which they can start a new run there: right after the
  // last run, while no placement is pending, and no address at all
  // (kNowhere) otherwise.
  static constexpr std::uint64_t kNowhere = kAddressSpace + 1;
  mutable std::uint64_t append_at_ = kNowhere;
};

}  // namespace hexpoke

#endif  // HEXPOKE_IMAGE_MEMORY_IMAGE_H_
