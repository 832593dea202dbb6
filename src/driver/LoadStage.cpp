// SPDX-License-Identifier: MIT
#include "driver/LoadStage.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "records/RecordFormat.h"
#include "records/RecordLineParser.h"
#include "util/HexByteText.h"

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

// Decodes each word it is given as a record line and writes what the line
// carries into the file.
class RecordPlacer {
 public:
  RecordPlacer(LoadedFile& file, std::ostream& messages)
      : file_(file), messages_(messages) {}

  // `head` holds the word's first characters, all of them unless the word is
  // longer than any record line; `length` is the whole word's length. A
  // UTF-8 byte order mark that begins a word is no part of it: one begins
  // the file, and one begins each file that `cat` joined to it.
  void Place(std::string_view head, std::uint64_t length) {
    if (head.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
      head.remove_prefix(kByteOrderMark.size());
      length -= kByteOrderMark.size();
      if (length == 0) return;
    }
    if (head[0] != kStartCode) {
      saw_other_word_ = true;
      return;  // the decoder would say nothing of it either
    }
    saw_start_code_ = true;
    if (DecodeRecordLine(head, length, &messages_, line_)) {
      PlaceLine();
      return;
    }
    // A bad data line costs its own bytes; a bad address record, the
    // address of every byte after it.
    const std::optional<std::uint8_t> type = RecordTypeField(head, length);
    if (type && AddressRecordBytes(*type) != 0) ThrowMalformedAddressRecord();
  }

  // The same for the word that starts at `p`, if it is a well-formed record
  // line that white space ends before `end`: returns the line's end, or
  // nullptr for a word to be found and placed the general way. Nearly every
  // word is one, and ends where its length byte says, with white space
  // there: the decoder, given no messages, takes it only if every
  // character before that is a hex digit, and so none is white space. This
  // spares looking for the word's end character by character.
  const char* PlaceLineAt(const char* p, const char* end) {
    if (end - p < 3) return nullptr;
    const std::size_t data_length = HexTextToByte(std::string_view(p + 1, 2));
    const std::size_t length = 1 + 2 * (kHeaderBytes + data_length + 1);
    if (length >= static_cast<std::size_t>(end - p) || !IsSpace(p[length]) ||
        !DecodeRecordLine(std::string_view(p, length), length, nullptr, line_)) {
      return nullptr;
    }
    PlaceLine();
    return p + length;
  }

  // Settles what the records seen say about the file as a whole.
  void Finish() {
    // Words, and none of them a record line, good or bad: a file of another
    // kind (S-records, UTF-16 text), which written back would lose it all.
    if (saw_other_word_ && !saw_start_code_) {
      throw std::runtime_error("Not an Intel HEX file");
    }
    file_.extras.segment_addressing = saw_segment_base_ && !saw_linear_base_;
  }

 private:
  // Writes what the decoded line carries into the file.
  void PlaceLine() {
    saw_start_code_ = true;
    const std::size_t wanted = AddressRecordBytes(line_.type());
    if (wanted != 0 && line_.data_size() != wanted) ThrowMalformedAddressRecord();
    switch (line_.type()) {
      case kDataType:
      case kEndOfFileType:
        WriteData();
        break;
      case kExtendedSegmentAddressType:
        base_ = DataValue() * kSegmentStep;
        segment_base_ = true;
        saw_segment_base_ = true;
        break;
      case kExtendedLinearAddressType:
        base_ = DataValue() * kWindowSize;
        segment_base_ = false;
        saw_linear_base_ = true;
        break;
      case kStartSegmentAddressType:
        file_.extras.start_segment = StartData();
        break;
      case kStartLinearAddressType:
        file_.extras.start_linear = StartData();
        break;
      default:
        break;
    }
  }

  [[noreturn]] static void ThrowMalformedAddressRecord() {
    throw std::runtime_error("Malformed address record");
  }

  // The two data bytes of an extended address record, high byte first.
  std::uint64_t DataValue() const {
    return std::uint64_t{line_.data()[0]} << 8 | line_.data()[1];
  }

  StartAddress StartData() const {
    StartAddress address;
    std::copy_n(line_.data(), address.size(), address.begin());
    return address;
  }

  void WriteData() {
    const std::uint64_t count = line_.data_size();
    if (count == 0) return;
    if (segment_base_ && line_.address() + count > kWindowSize) {
      throw std::runtime_error("Record crosses a segment boundary");
    }
    const std::uint64_t first = base_ + line_.address();
    if (first + count > MemoryImage::kAddressSpace) {
      throw std::runtime_error("Image too large");
    }
    file_.image.Place(first, line_.data(), count);
  }

  LoadedFile& file_;
  std::ostream& messages_;
  std::uint64_t base_ = 0;
  bool segment_base_ = false;  // base_ came from a 02 record
  bool saw_segment_base_ = false;
  bool saw_linear_base_ = false;
  bool saw_start_code_ = false;  // a word that begins with ':'
  bool saw_other_word_ = false;  // one that does not
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
        while (p != end && IsSpace(*p)) ++p;
        if (p == end) return;
        // Nearly every word is a well-formed record line, decoded as it is
        // found.
        if (const char* line_end = placer_.PlaceLineAt(p, end)) {
          p = line_end + 1;  // past the white space that ends it
          continue;
        }
      }
      const char* word = p;
      p = std::find_if(p, end, IsSpace);
      const auto count = static_cast<std::size_t>(p - word);
      if (length_ == 0 && p != end) {
        placer_.Place(std::string_view(word, count), count);
        continue;
      }
      // The word began in an earlier block, or may go on in the next one.
      head_.append(word, std::min(count, kMaxHeadChars - head_.size()));
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
  // As much of a word as tells a record line from a longer word, past a
  // byte order mark that may begin it.
  static constexpr std::size_t kMaxHeadChars =
      kMaxLineChars + 1 + kByteOrderMark.size();

  RecordPlacer& placer_;
  std::string head_;
  // Of the word gathered in head_, 0 for none. A word may be longer than
  // any memory: it is counted in 64 bits on every platform.
  std::uint64_t length_ = 0;
};

}  // namespace

LoadedFile LoadImage(std::istream& in, std::ostream& messages) {
  LoadedFile file;
  RecordPlacer placer(file, messages);
  WordSplitter splitter(placer);
  const std::unique_ptr<char[]> buffer(new char[kLoadBlockSize]);
  for (;;) {
    in.read(buffer.get(), static_cast<std::streamsize>(kLoadBlockSize));
    if (in.bad()) throw std::runtime_error("File not read");
    splitter.Feed(buffer.get(), buffer.get() + in.gcount());
    if (in.eof()) break;
    if (in.fail()) throw std::runtime_error("File not read");
  }
  splitter.Finish();
  placer.Finish();
  return file;
}

}  // namespace hexpoke
