// SPDX-License-Identifier: MIT
#include "image/MemoryImage.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "TestImages.h"

namespace hexpoke {

namespace {

// Each case places its bytes in order and checks the runs the image holds.
TEST(MemoryImage, HoldsEachByteAtItsAddressAndNothingElse) {
  const std::uint64_t kTop = MemoryImage::kAddressSpace;
  static const struct {
    const char* name;
    Runs placed;  // in the order placed
    Runs runs;
  } cases[] = {
      {"nothing", {}, {}},
      {"no bytes", {{5, {}}}, {}},
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
  };
  for (const auto& c : cases) {
    MemoryImage image;
    std::uint64_t size = 0;
    for (const auto& [address, bytes] : c.placed) image.Place(address, bytes);
    for (const auto& [address, bytes] : c.runs) size += bytes.size();
    EXPECT_EQ(RunsOf(image), c.runs) << c.name;
    EXPECT_EQ(image.size(), size) << c.name;
    EXPECT_EQ(image.end(), c.runs.empty() ? 0
                                          : c.runs.back().first +
                                                c.runs.back().second.size())
        << c.name;
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
