// SPDX-License-Identifier: MIT
#include "image/MemoryImage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <random>
#include <vector>

#include "TestImages.h"

namespace hexpoke {

namespace {

// The runs that placing `placed` in order must give, worked out byte by
// byte in a map.
Runs ExpectedRuns(const Runs& placed) {
  std::map<std::uint64_t, std::uint8_t> bytes;
  for (const auto& [address, data] : placed) {
    for (std::size_t i = 0; i < data.size(); ++i) bytes[address + i] = data[i];
  }
  Runs runs;
  for (const auto& [address, byte] : bytes) {
    if (runs.empty() || runs.back().first + runs.back().second.size() != address) {
      runs.emplace_back(address, Bytes());
    }
    runs.back().second.push_back(byte);
  }
  return runs;
}

// `count` pieces of `size` bytes, the first at `first` and each next one
// `step` on (which may be negative).
Runs Pieces(std::uint64_t first, std::int64_t step, std::size_t count,
            std::size_t size) {
  Runs pieces;
  for (std::size_t i = 0; i < count; ++i) {
    pieces.emplace_back(first + static_cast<std::uint64_t>(step * static_cast<std::int64_t>(i)),
                        Range(static_cast<std::uint8_t>(i), size));
  }
  return pieces;
}

Runs Concatenated(Runs runs, const Runs& more) {
  runs.insert(runs.end(), more.begin(), more.end());
  return runs;
}

// Pieces of 1 to 40 bytes in the first MiB, in random order, many of them
// over others.
Runs RandomPieces(std::size_t count) {
  std::mt19937 random(20261208);
  Runs pieces;
  for (std::size_t i = 0; i < count; ++i) {
    pieces.emplace_back(random() % 0x100000,
                        Range(static_cast<std::uint8_t>(random()), 1 + random() % 40));
  }
  return pieces;
}

// One-byte pieces at every other address of `windows` 64 KiB windows from
// `first`, the windows in ascending order and the pieces of each in random
// order.
Runs ShuffledInWindows(std::uint64_t first, std::size_t windows) {
  std::mt19937 random(20261208);
  Runs pieces;
  for (std::size_t window = 0; window < windows; ++window) {
    const std::size_t start = pieces.size();
    for (std::uint64_t at = 0; at < 0x10000; at += 2) {
      pieces.emplace_back(first + window * 0x10000 + at, Bytes{static_cast<std::uint8_t>(at)});
    }
    std::shuffle(pieces.begin() + static_cast<std::ptrdiff_t>(start), pieces.end(), random);
  }
  return pieces;
}

// Each case places its bytes in order and checks the runs the image holds.
// The large ones are many times what the image keeps aside before it
// merges bytes placed out of order, and are held to ExpectedRuns. Whatever
// the order, the image holds no more than its four blocks of memory at
// once: merging them in makes no second copy of the runs or the bytes.
TEST(MemoryImage, HoldsEachByteAtItsAddressAndNothingElse) {
  const std::uint64_t kTop = MemoryImage::kAddressSpace;
  const Runs interleaved_up = Pieces(0x10000000, 2, 100000, 1);
  const Runs interleaved_down = Pieces(0x10000000 + 2 * 99999, -2, 100000, 1);
  const Runs descending = Pieces(0x08000000 + 0xFFFF0, -16, 0x10000, 16);
  // Descending, each piece over half of the one placed before it.
  const Runs overlapping_down = Pieces(0x8000 * 8, -8, 0x8000, 16);
  // Every other piece of 16, in descending order, and then the gaps.
  const Runs gaps_filled = Concatenated(Pieces(0x20 * 30000, -32, 30000, 16),
                                        Pieces(0x10, 32, 30000, 16));
  const Runs random_pieces = RandomPieces(30000);
  const Runs shuffled_in_windows = ShuffledInWindows(0x00FE0000, 3);
  const struct {
    const char* name;
    Runs placed;  // in the order placed
    Runs runs;
  } cases[] = {
      {"nothing", {}, {}},
      {"no bytes", {{5, {}}}, {}},
      {"no bytes beyond a run", {{0, {1}}, {5, {}}, {1, {2}}}, {{0, {1, 2}}}},
      {"ascending records make one run", {{0, {1, 2}}, {2, {3}}, {3, {4, 5}}},
       {{0, {1, 2, 3, 4, 5}}}},
      {"a gap stays a gap", {{0, {1}}, {2, {3}}}, {{0, {1}}, {2, {3}}}},
      {"over the middle of a run", {{0, {1, 2, 3, 4}}, {1, {9, 9}}},
       {{0, {1, 9, 9, 4}}}},
      {"over a run's end and on", {{0, {1, 2}}, {1, {8, 9, 7}}},
       {{0, {1, 8, 9, 7}}}},
      {"before a run, touching it", {{2, {3}}, {0, {1, 2}}}, {{0, {1, 2, 3}}}},
      {"before a run, overlapping it", {{2, {3, 4}}, {1, {8, 9}}},
       {{1, {8, 9, 4}}}},
      {"across two runs and the gap between them",
       {{0, {1, 2}}, {4, {5, 6}}, {1, {7, 7, 7, 7}}}, {{0, {1, 7, 7, 7, 7, 6}}}},
      {"filling a gap joins three runs", {{0, {1}}, {2, {3}}, {1, {2}}},
       {{0, {1, 2, 3}}}},
      {"around a lower run while a higher one exists",
       {{100, {9}}, {10, {1}}, {9, {0, 2, 3}}}, {{9, {0, 2, 3}}, {100, {9}}}},
      {"bytes 4 GiB apart", {{kTop - 1, {0xEE}}, {0, {0x11}}},
       {{0, {0x11}}, {kTop - 1, {0xEE}}}},
      {"below a held run, over a placed one, joining them",
       {{10, {1, 2}}, {4, {3, 4}}, {5, {5, 6, 7, 8, 9}}},
       {{4, {3, 5, 6, 7, 8, 9, 1, 2}}}},
      {"a piece between two others joins them", {{0, {1}}, {4, {5}}, {1, {2, 3, 4}}},
       {{0, {1, 2, 3, 4, 5}}}},
      {"the highest byte and below it", {{kTop - 1, {0xEE}}, {kTop - 3, {1, 2}}},
       {{kTop - 3, {1, 2, 0xEE}}}},
      {"below two runs and over both", {{10, {1}}, {20, {2}}, {30, {3}}, {5, Range(9, 20)}},
       {{5, Range(9, 20)}, {30, {3}}}},
      {"below each run, each moved on by a different count",
       {{10, {1}}, {20, {2, 2}}, {30, {3}}, {25, {4, 4, 4}}, {15, {5}}, {5, {6, 6}}},
       {{5, {6, 6}}, {10, {1}}, {15, {5}}, {20, {2, 2}}, {25, {4, 4, 4}}, {30, {3}}}},
      {"interleaved bytes, ascending", interleaved_up, interleaved_up},
      {"interleaved bytes, descending", interleaved_down, ExpectedRuns(interleaved_down)},
      {"descending runs that touch", descending, ExpectedRuns(descending)},
      {"descending runs over each other", overlapping_down,
       ExpectedRuns(overlapping_down)},
      {"gaps between descending runs filled", gaps_filled, ExpectedRuns(gaps_filled)},
      {"random pieces over each other", random_pieces, ExpectedRuns(random_pieces)},
      {"interleaved bytes in random order within each window", shuffled_in_windows,
       ExpectedRuns(shuffled_in_windows)},
  };
  for (const auto& c : cases) {
    MemoryImage::ResetPeakBlocks();
    MemoryImage image;
    std::uint64_t size = 0;
    for (const auto& [address, bytes] : c.placed) image.Place(address, bytes);
    for (const auto& [address, bytes] : c.runs) size += bytes.size();
    // end() first: it needs no merge, and size() and the runs do.
    EXPECT_EQ(image.end(), c.runs.empty() ? 0
                                          : c.runs.back().first +
                                                c.runs.back().second.size())
        << c.name;
    const Runs held = RunsOf(image);
    // The large cases would print hundreds of thousands of bytes.
    if (c.runs.size() < 10) {
      EXPECT_EQ(held, c.runs) << c.name;
    } else {
      EXPECT_TRUE(held == c.runs) << c.name;
    }
    EXPECT_EQ(image.size(), size) << c.name;
    EXPECT_LE(MemoryImage::PeakBlocks(), 4u) << c.name;
    EXPECT_TRUE(image == ImageOf(c.runs)) << c.name;
  }
}

TEST(MemoryImage, EqualityGoesByBytesNotByHowTheyWerePlaced) {
  const MemoryImage whole = ImageOf({{0, {1, 2, 3}}});
  EXPECT_TRUE(whole == ImageOf({{2, {3}}, {0, {1, 2}}}));
  EXPECT_TRUE(whole != ImageOf({{0, {1, 2}}}));
  EXPECT_TRUE(whole != ImageOf({{1, {1, 2, 3}}}));
  EXPECT_TRUE(whole != ImageOf({{0, {1, 2, 4}}}));
}

}  // namespace

}  // namespace hexpoke
