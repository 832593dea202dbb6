#include "driver/LoadStage.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "records/RecordFormat.h"
#include "records/RecordLineParser.h"

namespace hexpoke {

using namespace record_format;

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// The white space of the classic locale, which separates words.
constexpr std::array<bool, 256> kIsSpace = [] {
  std::array<bool, 256> table{};
  for (const unsigned char c : {' ', '\t', '\n', '\v', '\f', '\r'}) {
    table[c] = true;
  }
  return table;
}();

bool IsSpace(char c) { return kIsSpace[static_cast<unsigned char>(c)]; }

// The first white-space character in [p, end), or end.
const char* FindSpace(const char* p, const char* end) {
  // Eight characters at a time: white space is all below 0x21, and this
  // test is nonzero whenever some byte of x is below 0x21 (and now and then
  // when none is, which the byte-wise look settles).
  constexpr std::uint64_t kOnes = 0x0101010101010101u;
  while (end - p >= 8) {
    std::uint64_t x;
    std::memcpy(&x, p, 8);
    if (((x - 0x21 * kOnes) & ~x & 0x80 * kOnes) != 0) break;
    p += 8;
  }
  return std::find_if(p, end, IsSpace);
}

// Decodes each word it is given as a record line and writes what the line
// carries into the image.
class RecordPlacer {
 public:
  RecordPlacer(MemoryImage& image, std::ostream& messages)
      : image_(image), messages_(messages) {}

  // `head` holds the word's first characters, all of them unless the word is
  // longer than any record line; `length` is the whole word's length.
  void Place(std::string_view head, std::size_t length) {
    if (!DecodeRecordLine(head, length, messages_, line_)) return;
    switch (line_.type()) {
      case kDataType:
      case kEndOfFileType:
        WriteData();
        break;
      case kExtendedSegmentAddressType:
        if (line_.data_size() == kExtendedAddressBytes) base_ = DataValue() << 4;
        break;
      case kExtendedLinearAddressType:
        if (line_.data_size() == kExtendedAddressBytes) base_ = DataValue() << 16;
        break;
      default:
        break;
    }
  }

 private:
  // The two data bytes of an extended address record, high byte first.
  std::size_t DataValue() const {
    return std::size_t{line_.data()[0]} << 8 | line_.data()[1];
  }

  void WriteData() {
    const std::size_t count = line_.data_size();
    if (count == 0) return;
    const std::size_t first = base_ + line_.address();
    if (first + count > kLargestImage) {
      throw std::runtime_error("Image too large");
    }
    if (image_.size() < first + count) image_.resize(first + count, 0);
    std::copy_n(line_.data(), count,
                image_.begin() + static_cast<std::ptrdiff_t>(first));
  }

  MemoryImage& image_;
  std::ostream& messages_;
  std::size_t base_ = 0;
  DecodedRecordLine line_{};
};

// Cuts the text it is fed, block by block, into whitespace-separated words
// and hands each to the placer. A word inside one block is handed over where
// it lies; one that spans blocks is gathered, as far as the placer needs it,
// in `head_`.
class WordSplitter {
 public:
  explicit WordSplitter(RecordPlacer& placer) : placer_(placer) {}

  void Feed(const char* p, const char* end) {
    while (p != end) {
      if (length_ == 0) {
        p = std::find_if_not(p, end, IsSpace);
        if (p == end) return;
      }
      const char* word = p;
      p = FindSpace(p, end);
      const auto count = static_cast<std::size_t>(p - word);
      if (length_ == 0 && p != end) {
        placer_.Place(std::string_view(word, count), count);
        continue;
      }
      // The word began in an earlier block, or may go on in the next one.
      head_.append(word, std::min(count, kMaxLineChars + 1 - head_.size()));
      length_ += count;
      if (p != end) Finish();
    }
  }

  // Hands over the word that the last block ended in, if any.
  void Finish() {
    if (length_ == 0) return;
    placer_.Place(head_, length_);
    head_.clear();
    length_ = 0;
  }

 private:
  RecordPlacer& placer_;
  std::string head_;
  std::size_t length_ = 0;  // of the word gathered in head_, 0 for none
};

}  // namespace

MemoryImage LoadImage(std::istream& in, std::ostream& messages) {
  MemoryImage image;
  // Reserved, not touched: the image never grows past this, so it is never
  // copied while it grows.
  image.reserve(kLargestImage);
  RecordPlacer placer(image, messages);
  WordSplitter splitter(placer);
  const std::unique_ptr<char[]> buffer(new char[kLoadBlockSize]);
  for (bool first = true;; first = false) {
    in.read(buffer.get(), static_cast<std::streamsize>(kLoadBlockSize));
    if (in.bad()) throw std::runtime_error("File not read");
    std::string_view block(buffer.get(), static_cast<std::size_t>(in.gcount()));
    if (first && block.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
      block.remove_prefix(kByteOrderMark.size());
    }
    splitter.Feed(block.data(), block.data() + block.size());
    if (in.eof()) break;
    if (in.fail()) throw std::runtime_error("File not read");
  }
  splitter.Finish();
  return image;
}

}  // namespace hexpoke
