#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>

#include "driver/LoadStage.h"
#include "image/ImageToRecords.h"
#include "records/IntelHexRecord.h"
#include "records/RecordLineParser.h"

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

TEST(ImageToRecords, CutsTheImageIn16ByteRecordsClosedByEndOfFile) {
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
    MemoryImage image(c.size);
    for (std::size_t i = 0; i < c.size; ++i) {
      image[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
    }
    const RecordList records = ImageToRecords(image);
    ASSERT_EQ(records.size(), c.data_records + 1) << c.size;
    EXPECT_NE(dynamic_cast<CIntelEndFileRecord*>(records.back().get()),
              nullptr)
        << c.size;
    EXPECT_EQ(Hex(records.back()->RawBytes()), Hex({0, 0, 0, 1})) << c.size;

    MemoryImage joined;
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
    EXPECT_EQ(joined, image) << c.size;
    if (c.data_records > 0) {
      EXPECT_EQ(records[c.data_records - 1]->RecordAddress(), c.last_address);
    }
  }
}

// Every line written reads back as the same record, silently, and the lines
// together load back into the same image.
TEST(ImageToRecords, WrittenLinesReadBackAsTheSameRecordsAndImage) {
  std::mt19937 random(20261208);
  std::vector<MemoryImage> images;
  for (const std::size_t size : {0u, 1u, 15u, 16u, 17u, 4095u, 65535u, 65536u}) {
    MemoryImage image(size);
    for (auto& byte : image) byte = static_cast<std::uint8_t>(random());
    images.push_back(image);
  }
  images.push_back(MemoryImage(300, 0x00));
  images.push_back(MemoryImage(300, 0xFF));
  for (int i = 0; i < 20; ++i) {
    MemoryImage image(random() % 70000 % 65537);
    for (auto& byte : image) byte = static_cast<std::uint8_t>(random());
    images.push_back(image);
  }

  for (const MemoryImage& image : images) {
    std::string file;
    std::ostringstream messages;
    for (const auto& record : ImageToRecords(image)) {
      const std::string line = record->RecordText();
      EXPECT_EQ(line.size(), 11 + 2 * record->RecordData().size()) << line;
      EXPECT_EQ(line.find_first_of("abcdef"), std::string::npos) << line;
      const auto back = ParseRecordLine(line, messages);
      ASSERT_NE(back, nullptr) << line;
      EXPECT_EQ(typeid(*back), typeid(*record)) << line;
      EXPECT_EQ(back->RawBytes(), record->RawBytes()) << line;
      file += line + "\n";
    }
    EXPECT_EQ(messages.str(), "");
    std::istringstream in(file);
    EXPECT_EQ(LoadImage(in, messages), image) << "size " << image.size();
  }
}

}  // namespace

}  // namespace hexpoke
