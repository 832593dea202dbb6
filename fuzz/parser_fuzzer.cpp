// SPDX-License-Identifier: MIT
// Feeds arbitrary text to the record line parser and checks what it gives:
// at most one message, of the two known forms; a record only with no
// message; a record whose text parses back to the same raw bytes; the
// head-only form agreeing with the whole word; the type field where a word
// has one; and the quiet decoder agreeing with the one that reports.

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

  // Without messages, the decoder is quiet and takes a line if, and only
  // if, the decoder with messages takes it and every character after the
  // start code is a hex digit; and then the same bytes.
  DecodedRecordLine loud{};
  DecodedRecordLine quiet{};
  std::ostringstream again;
  const bool loud_taken = DecodeRecordLine(text, size, &again, loud);
  const bool digits =
      text.find_first_not_of("0123456789abcdefABCDEF", 1) == std::string_view::npos;
  FUZZ_CHECK(DecodeRecordLine(text, size, nullptr, quiet) == (loud_taken && digits));
  if (loud_taken && digits) {
    FUZZ_CHECK(quiet.raw_size == loud.raw_size);
    FUZZ_CHECK(std::equal(quiet.bytes.begin(), quiet.bytes.begin() + quiet.raw_size,
                          loud.bytes.begin()));
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

