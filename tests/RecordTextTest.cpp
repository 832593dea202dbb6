// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>

#include "driver/LoadStage.h"
#include "image/ImageToRecords.h"
#include "records/IntelHexRecord.h"
#include "records/RecordLineParser.h"
#include "TestImages.h"

namespace hexpoke {

namespace {

std::unique_ptr<CAbstractIntelHexRecord> DataRecord(const Bytes& raw) {
  auto record = MakeRecord(0x00);
  record->RawBytes() = raw;
  return record;
}

TEST(RecordText, DataRecordsGetAFreshChecksumAndUppercaseDigits) {
  static const struct {
    Bytes raw;
    const char* text;
  } cases[] = {
      {{0x04, 0x00, 0x10, 0x00, 0x01, 0x02, 0x03, 0x04}, ":0400100001020304E2"},
      {{0x01, 0x00, 0x20, 0x00, 0xAB}, ":01002000AB34"},
      {{0x00, 0x00, 0x00, 0x00}, ":0000000000"},
      // The checksum covers the header: 10 + 16 x FF sums to 0x1000.
      {[] {
         Bytes raw = {0x10, 0x00, 0x00, 0x00};
         raw.resize(20, 0xFF);
         return raw;
       }(),
       ":10000000FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00"},
      {[] {
         Bytes raw = {0x10, 0xFF, 0xF0, 0x00};
         raw.resize(20, 0x00);
         return raw;
       }(),
       ":10FFF0000000000000000000000000000000000001"},
      // Written as held: neither the length nor the type is corrected.
      {{0x05, 0x12, 0x34, 0x07, 0xAB}, ":05123407AB03"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DataRecord(c.raw)->RecordText(), c.text) << c.text;
  }
}

TEST(RecordText, EndOfFileRecordIsAlwaysTheFixedLine) {
  std::ostringstream messages;
  for (const char* line : {":00000001FF", ":00FFFF0101", ":01000001AA54"}) {
    const auto record = ParseRecordLine(line, messages);
    ASSERT_NE(record, nullptr) << line;
    EXPECT_EQ(record->RecordText(), ":00000001FF") << line;
  }
  EXPECT_EQ(messages.str(), "");
}

std::string Hex(const Bytes& bytes) {
  std::ostringstream text;
  for (const std::uint8_t b : bytes) text << int{b} << ' ';
  return text.str();
}

// `count` bytes from `seed` on, different enough to catch a byte moved.
Bytes Varied(std::size_t count, unsigned seed = 0) {
  Bytes bytes;
  bytes.reserve(count);
  for (std::size_t i = seed; i < seed + count; ++i) {
    bytes.push_back(static_cast<std::uint8_t>(i * 7 + i / 256));
  }
  return bytes;
}

// An image of one run from 0000, as every file without extended address
// records or gaps gives, is written exactly as before there were any: 16-byte
// records from 0000, then the end-of-file record.
TEST(ImageToRecords, CutsAnImageFrom0000In16ByteRecordsClosedByEndOfFile) {
  static const struct {
    std::size_t size;
    std::size_t data_records;
    std::size_t last_length;
    unsigned last_address;
  } cases[] = {
      {0, 0, 0, 0},          {1, 1, 1, 0x0000},     {15, 1, 15, 0x0000},
      {16, 1, 16, 0x0000},   {17, 2, 1, 0x0010},    {4095, 256, 15, 0x0FF0},
      {65535, 4096, 15, 0xFFF0}, {65536, 4096, 16, 0xFFF0},
  };
  for (const auto& c : cases) {
    const Bytes bytes = Varied(c.size);
    const RecordList records = ImageToRecords(ImageOf({{0, bytes}}));
    ASSERT_EQ(records.size(), c.data_records + 1) << c.size;
    EXPECT_NE(dynamic_cast<CIntelEndFileRecord*>(records.back().get()),
              nullptr)
        << c.size;
    EXPECT_EQ(Hex(records.back()->RawBytes()), Hex({0, 0, 0, 1})) << c.size;

    Bytes joined;
    for (std::size_t i = 0; i < c.data_records; ++i) {
      const CAbstractIntelHexRecord& record = *records[i];
      ASSERT_NE(dynamic_cast<const CIntelBinRecord*>(&record), nullptr);
      EXPECT_EQ(record.RecordAddress(), i * 16) << c.size;
      EXPECT_EQ(record.RawBytes()[3], 0x00) << c.size;
      const Bytes data = record.RecordData();
      EXPECT_EQ(record.RawBytes().size(), 4 + data.size());
      EXPECT_EQ(data.size(), i + 1 == c.data_records ? c.last_length : 16u)
          << c.size << " record " << i;
      joined.insert(joined.end(), data.begin(), data.end());
    }
    EXPECT_EQ(joined, bytes) << c.size;
    if (c.data_records > 0) {
      EXPECT_EQ(records[c.data_records - 1]->RecordAddress(), c.last_address);
    }
  }
}

std::string FileText(const MemoryImage& image, const FileExtras& extras) {
  std::string text;
  for (const auto& record : ImageToRecords(image, extras)) {
    text += record->RecordText() + "\n";
  }
  return text;
}

// Runs are cut at their own first address and at every 64 KiB boundary;
// once any byte lies beyond 64 KiB, the first piece in each window is
// preceded by the extended address record of the window, and the others
// go on under it.
TEST(ImageToRecords, WritesEachRunWhereItBelongs) {
  FileExtras segments;
  segments.segment_addressing = true;
  FileExtras started;
  started.start_segment = StartAddress{0x12, 0x34, 0x56, 0x78};
  started.start_linear = StartAddress{0x08, 0x00, 0x01, 0x23};
  static const struct {
    const char* name;
    Runs image;
    FileExtras extras;
    std::string text;
  } cases[] = {
      {"runs below 64 KiB: no extended address records",
       {{0x7003, {0xAA}}, {0x7010, Varied(17)}}, {},
       ":01700300AAE2\n" + Line(0x7010, Varied(16)) + "\n" +
           Line(0x7020, Varied(1, 16)) + "\n:00000001FF\n"},
      {"a run across a 64 KiB boundary is cut there",
       {{0x0800FFF8, Varied(24)}}, {},
       ":020000040800F2\n" + Line(0xFFF8, Varied(8)) +
           "\n:020000040801F1\n" + Line(0x0000, Varied(16, 8)) +
           "\n:00000001FF\n"},
      {"runs in three windows, one below 64 KiB",
       {{0x0000, {0x01}}, {0x10001000, {0x02}}, {0x10001004, {0x03}},
        {0xFFFFFFFF, {0x04}}},
       {},
       ":020000040000FA\n:0100000001FE\n"
       ":020000041000EA\n:0110000002ED\n:0110040003E8\n"
       ":02000004FFFFFC\n:01FFFF0004FD\n:00000001FF\n"},
      {"segment style below 1 MiB", {{0x0FFFF, {0xAA, 0xBB}}, {0xF0000, {0xCC}}},
       segments,
       ":020000020000FC\n:01FFFF00AA57\n:020000021000EC\n:01000000BB44\n"
       ":02000002F0000C\n:01000000CC33\n:00000001FF\n"},
      {"segment style below 64 KiB: no extended address records",
       {{0x0100, {0xAA}}}, segments, ":01010000AA54\n:00000001FF\n"},
      {"segment style falls back to linear beyond 1 MiB",
       {{0x0FFFF, {0xAA}}, {0x100000, {0xBB}}}, segments,
       ":020000040000FA\n:01FFFF00AA57\n:020000040010EA\n:01000000BB44\n"
       ":00000001FF\n"},
      {"start addresses just before the end, 03 first", {{0x0000, {0x11}}},
       started,
       ":0100000011EE\n:0400000312345678E5\n:0400000508000123CB\n"
       ":00000001FF\n"},
      {"start addresses of an empty image", {}, started,
       ":0400000312345678E5\n:0400000508000123CB\n:00000001FF\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FileText(ImageOf(c.image), c.extras), c.text) << c.name;
  }
}

// Every line written reads back as the same record, silently, and the lines
// together load back into the same image and extras.
TEST(ImageToRecords, WrittenLinesReadBackAsTheSameRecordsAndImage) {
  std::mt19937 random(20261208);
  const auto bytes = [&random](std::size_t count) {
    Bytes some(count);
    for (auto& byte : some) byte = static_cast<std::uint8_t>(random());
    return some;
  };
  std::vector<std::pair<MemoryImage, FileExtras>> files;
  for (const std::size_t size : {0u, 1u, 15u, 16u, 17u, 4095u, 65535u, 65536u}) {
    files.push_back({ImageOf({{0, bytes(size)}}), {}});
  }
  files.push_back({ImageOf({{0, Bytes(300, 0x00)}}), {}});
  files.push_back({ImageOf({{0, Bytes(300, 0xFF)}}), {}});
  // Scattered runs over the whole address space, or over the first 1 MiB
  // in segment style, some with start addresses.
  for (int i = 0; i < 40; ++i) {
    const bool segments = i % 3 == 0;
    const std::uint64_t space = segments ? 0x100000 : std::uint64_t{1} << 32;
    MemoryImage image;
    for (unsigned run = random() % 6; run > 0; --run) {
      const std::size_t count = random() % 70000 + 1;
      const std::uint64_t start = random() % (space - count);
      image.Place(start, bytes(count));
    }
    FileExtras extras;
    extras.segment_addressing = segments;
    if (random() % 2) extras.start_linear = StartAddress{1, 2, 3, 4};
    if (random() % 2) extras.start_segment = StartAddress{5, 6, 7, 8};
    files.push_back({image, extras});
  }

  for (const auto& [image, extras] : files) {
    std::string file;
    std::ostringstream messages;
    for (const auto& record : ImageToRecords(image, extras)) {
      const std::string line = record->RecordText();
      EXPECT_EQ(line.size(), 11 + 2 * record->RawBytes()[0]) << line;
      EXPECT_EQ(line.find_first_of("abcdef"), std::string::npos) << line;
      if (dynamic_cast<const CIntelAddressRecord*>(record.get()) == nullptr) {
        const auto back = ParseRecordLine(line, messages);
        ASSERT_NE(back, nullptr) << line;
        EXPECT_EQ(typeid(*back), typeid(*record)) << line;
        EXPECT_EQ(back->RawBytes(), record->RawBytes()) << line;
      }
      file += line + "\n";
    }
    EXPECT_EQ(messages.str(), "");
    std::istringstream in(file);
    const LoadedFile loaded = LoadImage(in, messages);
    EXPECT_EQ(RunsOf(loaded.image), RunsOf(image)) << "end " << image.end();
    // Segment style is only kept where the image lets it be written.
    FileExtras kept = extras;
    kept.segment_addressing = extras.segment_addressing && image.end() > 0x10000;
    EXPECT_TRUE(loaded.extras == kept) << "end " << image.end();
  }
}

// The text written straight from the image is the records' text, line by
// line, however it is cut into pieces.
TEST(ImageToRecords, WriteImageTextWritesTheRecordsLines) {
  FileExtras extras;
  extras.start_linear = StartAddress{1, 2, 3, 4};
  // Runs of every length from 1 to 20 bytes, a gap after each, across a
  // 64 KiB boundary.
  Runs short_runs;
  for (std::size_t length = 1, at = 0xFF00; length <= 20; at += length + 1, ++length) {
    short_runs.emplace_back(at, Varied(length));
  }
  const Runs images[] = {
      {},
      {{0x0000, Varied(1)}},
      {{0x0FFF0, Varied(40)}, {0x08000000, Varied(3)}},
      {{0x0000, Varied(65536)}, {0x20000, Varied(1000)}},  // several pieces
      short_runs,
  };
  for (const Runs& runs : images) {
    const MemoryImage image = ImageOf(runs);
    std::string listed;
    for (const auto& record : ImageToRecords(image, extras)) {
      listed += record->RecordText() + "\n";
    }
    std::string written;
    std::size_t pieces = 0;
    WriteImageText(image, extras, [&](std::string_view piece) {
      written += piece;
      ++pieces;
    });
    EXPECT_EQ(written, listed) << runs.size() << " runs";
    EXPECT_EQ(pieces, written.size() / (64 * 1024) + 1) << runs.size() << " runs";
  }
}

}  // namespace

}  // namespace hexpoke
