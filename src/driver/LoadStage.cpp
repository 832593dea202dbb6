#include "driver/LoadStage.h"

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "records/RecordFormat.h"
#include "records/RecordLineParser.h"

using namespace record_format;

namespace {

// The white space of the classic locale, which separates words.
bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}

void InsertRecordData(MemoryImage& image,
                      const CAbstractIntelHexRecord& record) {
  const Bytes data = record.RecordData();
  if (data.empty()) return;
  const std::size_t address = record.RecordAddress();
  if (address > image.size()) image.resize(address, 0);
  image.insert(image.begin() + static_cast<std::ptrdiff_t>(address),
               data.begin(), data.end());
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
      }
      const char* start = p;
      while (p != end && !IsSpace(*p)) ++p;
      const std::size_t count = static_cast<std::size_t>(p - start);
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
  void Parse(std::string_view head, std::size_t length) {
    if (std::unique_ptr<CAbstractIntelHexRecord> record =
            ParseRecordLine(head, length, messages_)) {
      InsertRecordData(image_, *record);
    }
  }

  MemoryImage& image_;
  std::ostream& messages_;
  std::string head_;
  std::size_t length_ = 0;
};

}  // namespace

MemoryImage LoadImage(std::istream& in, std::ostream& messages) {
  MemoryImage image;
  WordLoader loader(image, messages);
  std::vector<char> buffer(64 * 1024);
  for (;;) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    if (in.bad()) throw std::runtime_error("File not read");
    const char* begin = buffer.data();
    loader.Feed(begin, begin + in.gcount());
    if (in.eof()) break;
    if (in.fail()) throw std::runtime_error("File not read");
  }
  loader.Finish();
  return image;
}
