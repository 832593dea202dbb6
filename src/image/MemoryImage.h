// SPDX-License-Identifier: MIT
#ifndef HEXPOKE_IMAGE_MEMORY_IMAGE_H_
#define HEXPOKE_IMAGE_MEMORY_IMAGE_H_

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <utility>
#include <vector>

namespace hexpoke {

// The bytes of a firmware image, each at its address in the 32-bit address
// space (0 to 0xFFFFFFFF), and nothing in between: an address at which no
// byte was placed is a gap, never a 00. Memory grows with the bytes held,
// not with the distance between them.
class MemoryImage {
 public:
  // One past the highest address: 4 GiB.
  static constexpr std::uint64_t kAddressSpace = std::uint64_t{1} << 32;

  // Writes the `count` bytes at `data` at `address` and the addresses after
  // it, over whatever was there; nothing else moves.
  // REQUIRES: address + count <= kAddressSpace.
  void Place(std::uint64_t address, const std::uint8_t* data,
             std::uint64_t count);
  void Place(std::uint64_t address, const std::vector<std::uint8_t>& bytes) {
    Place(address, bytes.data(), bytes.size());
  }

  // The number of bytes held.
  std::uint64_t size() const;
  // One past the highest address that holds a byte; 0 for an empty image.
  std::uint64_t end() const;

  // Calls visit(address, data, count) for each run of bytes at consecutive
  // addresses, in ascending order of address. Runs are as long as they can
  // be: a gap lies between any two.
  using RunVisitor = std::function<void(std::uint64_t address,
                                        const std::uint8_t* data,
                                        std::uint64_t count)>;
  void ForEachRun(const RunVisitor& visit) const;

  // Whether both hold the same bytes at the same addresses.
  bool operator==(const MemoryImage& other) const;
  bool operator!=(const MemoryImage& other) const { return !(*this == other); }

 private:
  // Place for bytes that do not go over or after the highest piece.
  void PlaceAnywhere(std::uint64_t address, const std::uint8_t* data,
                     std::uint64_t count);

  // The bytes of one piece, in memory from malloc: a piece that grows is
  // extended where it lies when the allocator can (realloc), so that a run
  // read in order is neither copied as it grows nor held twice meanwhile.
  class Piece {
   public:
    Piece(const std::uint8_t* data, std::size_t count) { Append(data, count); }
    Piece(const Piece& other) : Piece(other.data(), other.size()) {}
    Piece& operator=(const Piece& other);
    Piece(Piece&& other) noexcept { *this = std::move(other); }
    Piece& operator=(Piece&& other) noexcept;
    ~Piece() { std::free(bytes_); }

    std::uint8_t* data() { return bytes_; }
    const std::uint8_t* data() const { return bytes_; }
    std::size_t size() const { return size_; }

    // Adds `count` bytes at the end.
    void Append(const std::uint8_t* data, std::size_t count);

   private:
    std::uint8_t* bytes_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
  };

  // Pieces by the address of their first byte. No two overlap, but they
  // may touch: bytes placed just before a piece start a piece of their
  // own, so that nothing already held is ever moved. ForEachRun joins them.
  std::map<std::uint64_t, Piece> pieces_;
};

}  // namespace hexpoke

#endif  // HEXPOKE_IMAGE_MEMORY_IMAGE_H_
