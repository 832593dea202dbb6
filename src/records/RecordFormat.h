// SPDX-License-Identifier: MIT
#ifndef HEXPOKE_RECORDS_RECORD_FORMAT_H_
#define HEXPOKE_RECORDS_RECORD_FORMAT_H_

#include <cstddef>
#include <cstdint>

namespace hexpoke {

// One record line of an Intel HEX file, as one whitespace-free word:
//
//   :LLAAAATTDD...DDCC
//
//   ':'   start code
//   LL    length L, the number of data bytes (0 to 255)
//   AAAA  address of the first data byte, high byte first
//   TT    record type (below)
//   DD    L data bytes
//   CC    checksum: two's complement of the sum, modulo 256, of every byte
//         before it (length, both address bytes, type and data)
//
// Record types:
//   00  data: L bytes for the addresses from AAAA on
//   01  end of file; normally L = 0, though what data it carries is data
//   02  extended segment address: 2 bytes, a value V; the records after it
//       hold data for V * 16 + AAAA, within the 64 KiB from V * 16 on
//   03  start segment address (CS:IP): an entry point, no image data
//   04  extended linear address: 2 bytes, V; what follows is for
//       V * 65536 + AAAA
//   05  start linear address (EIP): an entry point, no image data
//
// Every byte is two hexadecimal digits, so a well-formed line has
// 11 + 2 * L characters. In memory a record keeps its "raw record bytes":
// length, address high, address low, type, data; the checksum is not stored.
namespace record_format {

inline constexpr char kStartCode = ':';

inline constexpr std::size_t kLengthIndex = 0;
inline constexpr std::size_t kAddressHighIndex = 1;
inline constexpr std::size_t kAddressLowIndex = 2;
inline constexpr std::size_t kTypeIndex = 3;
inline constexpr std::size_t kHeaderBytes = 4;
// The type field's first character: ':', then two for each byte before it.
inline constexpr std::size_t kTypeChar = 1 + 2 * kTypeIndex;

inline constexpr std::uint8_t kDataType = 0x00;
inline constexpr std::uint8_t kEndOfFileType = 0x01;
inline constexpr std::uint8_t kExtendedSegmentAddressType = 0x02;
inline constexpr std::uint8_t kStartSegmentAddressType = 0x03;
inline constexpr std::uint8_t kExtendedLinearAddressType = 0x04;
inline constexpr std::uint8_t kStartLinearAddressType = 0x05;
// Bytes of data of a well-formed extended address record, and of a start
// address record.
inline constexpr std::size_t kExtendedAddressBytes = 2;
inline constexpr std::size_t kStartAddressBytes = 4;

// The data bytes that a record of `type` must hold to be read: 2 for an
// extended address record, 4 for a start address record, and 0 for every
// other type, whose records hold what they hold.
constexpr std::size_t AddressRecordBytes(std::uint8_t type) {
  switch (type) {
    case kExtendedSegmentAddressType:
    case kExtendedLinearAddressType:
      return kExtendedAddressBytes;
    case kStartSegmentAddressType:
    case kStartLinearAddressType:
      return kStartAddressBytes;
    default:
      return 0;
  }
}

// A record's 16-bit address reaches 64 KiB: a window of the address space
// that an extended address record places. A segment base (02) moves it in
// steps of 16 bytes, a linear base (04) in steps of 64 KiB.
inline constexpr std::uint64_t kWindowSize = 0x10000;
inline constexpr std::uint64_t kSegmentStep = 16;
// Written as segment bases, the 64 KiB windows are 0000, 1000, ... F000:
// they reach the first 1 MiB.
inline constexpr std::uint64_t kSegmentAddressSpace = 0x100000;

inline constexpr std::size_t kMaxDataBytes = 255;
// Header, data and checksum of the longest record: 260 bytes.
inline constexpr std::size_t kMaxLineBytes = kHeaderBytes + kMaxDataBytes + 1;
// The longest text that can be a record line: 521 characters.
inline constexpr std::size_t kMaxLineChars = 1 + 2 * kMaxLineBytes;

// Data bytes per record when an image is written back out.
inline constexpr std::size_t kOutputDataBytes = 16;

}  // namespace record_format

}  // namespace hexpoke

#endif  // HEXPOKE_RECORDS_RECORD_FORMAT_H_
