// SPDX-License-Identifier: MIT
// Micro-benchmarks of the stages that run per byte or per line; the whole
// process is measured by bench/run.sh.

#include <benchmark/benchmark.h>

#include <sstream>
#include <string>

#include "driver/LoadStage.h"
#include "image/ImageToRecords.h"
#include "records/RecordLineParser.h"
#include "util/HexByteText.h"

namespace hexpoke {

namespace {

// `size` bytes from `address` on.
MemoryImage RandomImage(std::size_t size, std::uint64_t address = 0) {
  Bytes bytes(size);
  std::uint32_t state = 12345;
  for (auto& byte : bytes) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<std::uint8_t>(state >> 16);
  }
  MemoryImage image;
  image.Place(address, bytes);
  return image;
}

void AppendImageText(const MemoryImage& image, std::string& text) {
  WriteImageText(image, {}, [&](std::string_view piece) { text += piece; });
}

void BM_LoadImage64KiB(benchmark::State& state) {
  std::string text;
  AppendImageText(RandomImage(0x10000), text);
  for (auto _ : state) {
    std::istringstream in(text);
    std::ostringstream messages;
    benchmark::DoNotOptimize(LoadImage(in, messages));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_LoadImage64KiB);

void BM_LoadImage1MiBAt0x08000000(benchmark::State& state) {
  std::string text;
  AppendImageText(RandomImage(0x100000, 0x08000000), text);
  for (auto _ : state) {
    std::istringstream in(text);
    std::ostringstream messages;
    benchmark::DoNotOptimize(LoadImage(in, messages));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_LoadImage1MiBAt0x08000000);

void BM_ImageText64KiB(benchmark::State& state) {
  const MemoryImage image = RandomImage(0x10000);
  std::string text;  // reused, so that the figure is not the allocator's
  for (auto _ : state) {
    text.clear();
    AppendImageText(image, text);
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * image.size()));
}
BENCHMARK(BM_ImageText64KiB);

void BM_ParseRecordLine(benchmark::State& state) {
  const std::string line = ":10001000101112131415161718191A1B1C1D1E1F68";
  std::ostringstream messages;
  for (auto _ : state) benchmark::DoNotOptimize(ParseRecordLine(line, messages));
}
BENCHMARK(BM_ParseRecordLine);

// The text of one 16-byte data record, and its bytes.
void BM_DecodeHexPairs(benchmark::State& state) {
  const std::string line = ":10001000101112131415161718191A1B1C1D1E1F68";
  std::uint8_t bytes[21];
  bool all_digits = false;
  for (auto _ : state) {
    benchmark::DoNotOptimize(DecodeHexPairs(line.data() + 1, 21, bytes, all_digits));
    benchmark::DoNotOptimize(bytes);
  }
}
BENCHMARK(BM_DecodeHexPairs);

void BM_EncodeHexPairs(benchmark::State& state) {
  const std::uint8_t bytes[20] = {0x10, 0x00, 0x10, 0x00, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15,
                                  0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x1F};
  char text[40];
  for (auto _ : state) {
    benchmark::DoNotOptimize(EncodeHexPairs(bytes, 20, text));
    benchmark::DoNotOptimize(text);
  }
}
BENCHMARK(BM_EncodeHexPairs);

void BM_ImageToRecords64KiB(benchmark::State& state) {
  const MemoryImage image = RandomImage(0x10000);
  for (auto _ : state) benchmark::DoNotOptimize(ImageToRecords(image));
}
BENCHMARK(BM_ImageToRecords64KiB);

}  // namespace

}  // namespace hexpoke

BENCHMARK_MAIN();
