// SPDX-License-Identifier: MIT
#ifndef HEXPOKE_RECORDS_INTEL_HEX_RECORD_H_
#define HEXPOKE_RECORDS_INTEL_HEX_RECORD_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "records/RecordFormat.h"
#include "util/HexByteText.h"

namespace hexpoke {
using Bytes = std::vector<std::uint8_t>;
}  // namespace hexpoke

// One Intel HEX record. It holds its raw record bytes (length, address high,
// address low, type, data; see record_format), and keeps the invariant that
// there are 4 + L of them, L being byte 0, once its creator has filled them.
// Records live on the heap, are owned through std::unique_ptr and are never
// copied.
// The records, ParseRecordLine and ImageToRecords are the model that the
// streaming reader (LoadImage) and writer (WriteImageText) are tested
// against, not the way a run reads and writes a file.
class CAbstractIntelHexRecord {
 public:
  CAbstractIntelHexRecord(const CAbstractIntelHexRecord&) = delete;
  CAbstractIntelHexRecord& operator=(const CAbstractIntelHexRecord&) = delete;
  virtual ~CAbstractIntelHexRecord() = default;

  // The record line, without a line end.
  std::string RecordText() const;

  // The number of characters of RecordText().
  virtual std::size_t RecordTextSize() const = 0;
  // Writes RecordText() at `out`, which has room for RecordTextSize()
  // characters, and returns its end: the form to use when many records go
  // into one buffer.
  virtual char* WriteRecordText(char* out) const = 0;

  // A copy of the L data bytes.
  hexpoke::Bytes RecordData() const;

  // Raw record bytes 1 and 2, high byte first.
  std::uint16_t RecordAddress() const;

  hexpoke::Bytes& RawBytes() { return raw_; }
  const hexpoke::Bytes& RawBytes() const { return raw_; }

 protected:
  // Four zero raw record bytes: length 0, address 0000, type 00.
  CAbstractIntelHexRecord();
  explicit CAbstractIntelHexRecord(hexpoke::Bytes raw) : raw_(std::move(raw)) {}

  // The record line of the raw record bytes exactly as they stand, with
  // uppercase digits and a checksum computed afresh: its size, and the text.
  std::size_t RawRecordTextSize() const { return 1 + 2 * (raw_.size() + 1); }
  char* WriteRawRecordText(char* out) const;

 private:
  hexpoke::Bytes raw_;
};

// A data record (type 00). Its text is the record line with uppercase digits
// and a checksum computed afresh from the raw record bytes, exactly as they
// stand.
class CIntelBinRecord final : public CAbstractIntelHexRecord {
 public:
  CIntelBinRecord() = default;
  // A data record holding `raw` as its raw record bytes.
  explicit CIntelBinRecord(hexpoke::Bytes raw)
      : CAbstractIntelHexRecord(std::move(raw)) {}
  std::size_t RecordTextSize() const override;
  char* WriteRecordText(char* out) const override;
};

// An end-of-file record (type 01). Its text is always ":00000001FF",
// whatever its raw record bytes hold.
class CIntelEndFileRecord final : public CAbstractIntelHexRecord {
 public:
  CIntelEndFileRecord() = default;
  std::size_t RecordTextSize() const override;
  char* WriteRecordText(char* out) const override;
};

// An extended address record (02, 04), which places the records after it
// in the address space, or a start address record (03, 05), which names an
// entry point. Neither carries image data. Its text is made as a data
// record's is. Only the writer makes them: the parser yields none.
class CIntelAddressRecord final : public CAbstractIntelHexRecord {
 public:
  CIntelAddressRecord() = default;
  explicit CIntelAddressRecord(hexpoke::Bytes raw)
      : CAbstractIntelHexRecord(std::move(raw)) {}
  std::size_t RecordTextSize() const override;
  char* WriteRecordText(char* out) const override;
};

namespace hexpoke {

// Record list: owns its records, in output order.
using RecordList = std::vector<std::unique_ptr<CAbstractIntelHexRecord>>;

// Writes at `out` the record line whose raw record bytes are the `count`
// bytes at `raw`, exactly as they stand, with uppercase digits and a
// checksum computed afresh: 1 + 2 * (count + 1) characters. Returns the
// end. The one maker of the text of data, address and start records.
inline char* WriteRawRecordLine(char* out, const std::uint8_t* raw, std::size_t count) {
  *out++ = record_format::kStartCode;
  const auto checksum = static_cast<std::uint8_t>(-EncodeHexPairs(raw, count, out));
  out += 2 * count;
  EncodeHexPairs(&checksum, 1, out);
  return out + 2;
}

// Record factory: a CIntelBinRecord for type 00, a CIntelEndFileRecord for
// type 01, each with raw record bytes 00 00 00 <type>. Returns nullptr for
// every other type.
std::unique_ptr<CAbstractIntelHexRecord> MakeRecord(std::uint8_t type);

}  // namespace hexpoke

#endif  // HEXPOKE_RECORDS_INTEL_HEX_RECORD_H_
