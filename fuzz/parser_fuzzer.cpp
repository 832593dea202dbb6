// SPDX-License-Identifier: MIT
// Feeds arbitrary text to the record line parser and checks what it gives:
// at most one message, of the two known forms; a record only with no
// message; a record whose text parses back to the same raw bytes; the
// head-only form agreeing with the whole word; the type field where a word
// has one; and the reader's shortcut agreeing with the whole-word decoder.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

#include "FuzzCheck.h"
#include "records/IntelHexRecord.h"
#include "records/RecordFormat.h"
#include "records/RecordLineParser.h"

using namespace hexpoke;

namespace {

bool IsParserMessage(const std::string& printed) {
  if (printed.empty()) return true;
  if (printed.find('\n') != printed.size() - 1) return false;
  return printed.rfind("error len: size - >", 0) == 0 ||
         (printed.rfind("error checksum. ", 0) == 0 && printed.size() == 19);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::ostringstream messages;
  const auto record = ParseRecordLine(text, messages);
  const std::string printed = messages.str();
  FUZZ_CHECK(IsParserMessage(printed));

  if (record) {
    FUZZ_CHECK(printed.empty());
    const Bytes& raw = record->RawBytes();
    FUZZ_CHECK(raw.size() == record_format::kHeaderBytes + raw[0]);
    const std::string line = record->RecordText();
    if (dynamic_cast<const CIntelEndFileRecord*>(record.get()) != nullptr) {
      FUZZ_CHECK(line == ":00000001FF");
    } else {
      std::ostringstream again_messages;
      const auto again = ParseRecordLine(line, again_messages);
      FUZZ_CHECK(again != nullptr);
      FUZZ_CHECK(dynamic_cast<const CIntelBinRecord*>(again.get()) != nullptr);
      FUZZ_CHECK(again->RawBytes() == raw);
      FUZZ_CHECK(again_messages.str().empty());
      FUZZ_CHECK(line.size() == 11 + 2 * record->RecordData().size());
    }
  }

  // The type field: characters 7 and 8 of any odd word from ':' on that has
  // them, the decoded type byte of a line that passes.
  const std::optional<std::uint8_t> type = RecordTypeField(text, size);
  FUZZ_CHECK(type.has_value() == (size % 2 == 1 && size >= 9 && text[0] == ':'));
  if (record) FUZZ_CHECK(*type == record->RawBytes()[record_format::kTypeIndex]);

  // The reader's shortcut, on the same text and whatever follows the line,
  // decodes only what the decoder of whole words decodes the same.
  DecodedRecordLine at{};
  const std::size_t at_length = DecodeRecordLineAt(text.data(), size, at);
  if (at_length != 0) {
    DecodedRecordLine whole{};
    std::ostringstream whole_messages;
    FUZZ_CHECK(DecodeRecordLine(text.substr(0, at_length), at_length,
                                whole_messages, whole));
    FUZZ_CHECK(whole_messages.str().empty());
    FUZZ_CHECK(whole.raw_size == at.raw_size);
    FUZZ_CHECK(std::equal(at.bytes.begin(), at.bytes.begin() + at.raw_size,
                          whole.bytes.begin()));
  }

  // A reader may keep only the head of a long word.
  const std::size_t kept = record_format::kMaxLineChars + 1;
  if (size > kept) {
    std::ostringstream head_messages;
    FUZZ_CHECK(ParseRecordLine(text.substr(0, kept), size, head_messages) ==
               nullptr);
    FUZZ_CHECK(head_messages.str() == printed);
  }
  return 0;
}

