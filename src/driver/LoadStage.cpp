#include "driver/LoadStage.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include "records/RecordFormat.h"
#include "records/RecordLineParser.h"

namespace hexpoke {

using namespace record_format;

namespace {

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
  // test is zero exactly when no byte of x is below 0x21.
  constexpr std::uint64_t kOnes = 0x0101010101010101u;
  while (end - p >= 8) {
    std::uint64_t x;
    std::memcpy(&x, p, 8);
    if (((x - 0x21 * kOnes) & ~x & 0x80 * kOnes) != 0) {
      for (int i = 0; i < 8; ++i) {
        if (IsSpace(p[i])) return p + i;
      }
    }
    p += 8;
  }
  while (p != end && !IsSpace(*p)) ++p;
  return p;
}

// Inserts the line's data before index <address>, padding the image with
// zeros up to the address first if it is shorter.
void InsertRecordData(MemoryImage& image, const DecodedRecordLine& line) {
  if (line.data_size() == 0) return;
  const std::size_t address = line.address();
  if (address > image.size()) image.resize(address, 0);
  image.insert(image.begin() + static_cast<std::ptrdiff_t>(address),
               line.data(), line.data() + line.data_size());
  if (image.size() > kLargestImage) throw std::runtime_error("Image too large");
}

// Feeds words to the parser. A word may span reads, so it is gathered in
// `head_`; only its first kMaxLineChars + 1 characters are kept, which is all
// the parser needs of a longer word.
class WordLoader {
 public:
  WordLoader(MemoryImage& image, std::ostream& messages)
      : image_(image), messages_(messages) {}

  void Feed(const char* p, const char* end) {
    while (p != end) {
      if (length_ == 0) {
        while (p != end && IsSpace(*p)) ++p;
        if (p == end) return;
        // Most words are good record lines: take those in one step.
        const std::size_t line_length = DecodeWellFormedLine(
            p, static_cast<std::size_t>(end - p), line_);
        if (line_length != 0 && line_length < static_cast<std::size_t>(end - p) &&
            IsSpace(p[line_length])) {
          Insert(line_);
          p += line_length;
          continue;
        }
      }
      const char* start = p;
      p = FindSpace(p, end);
      const auto count = static_cast<std::size_t>(p - start);
      if (p != end && length_ == 0) {
        Parse(std::string_view(start, count), count);  // whole word in view
        continue;
      }
      const std::size_t room = kMaxLineChars + 1 - head_.size();
      head_.append(start, std::min(room, count));
      length_ += count;
      if (p != end) Finish();
    }
  }

  void Finish() {
    if (length_ == 0) return;
    Parse(head_, length_);
    head_.clear();
    length_ = 0;
  }

 private:
  // What ParseRecordLine does, without making a record object only to copy
  // its data out again.
  void Parse(std::string_view head, std::size_t length) {
    if (DecodeRecordLine(head, length, messages_, line_)) Insert(line_);
  }

  void Insert(const DecodedRecordLine& line) {
    if (IsKnownRecordType(line.type())) InsertRecordData(image_, line);
  }

  MemoryImage& image_;
  std::ostream& messages_;
  std::string head_;
  std::size_t length_ = 0;
  DecodedRecordLine line_{};
};

}  // namespace

MemoryImage LoadImage(std::istream& in, std::ostream& messages) {
  MemoryImage image;
  // Reserved, not touched: the image never grows past this, so it is never
  // copied while it grows.
  image.reserve(kLargestImage);
  WordLoader loader(image, messages);
  constexpr std::size_t kBufferSize = std::size_t{16} * 1024;
  const std::unique_ptr<char[]> buffer(new char[kBufferSize]);
  for (;;) {
    in.read(buffer.get(), static_cast<std::streamsize>(kBufferSize));
    if (in.bad()) throw std::runtime_error("File not read");
    const char* begin = buffer.get();
    loader.Feed(begin, begin + in.gcount());
    if (in.eof()) break;
    if (in.fail()) throw std::runtime_error("File not read");
  }
  loader.Finish();
  return image;
}

}  // namespace hexpoke
