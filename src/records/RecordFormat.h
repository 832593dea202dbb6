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
//   TT    record type: 00 data, 01 end of file; others carry no image data
//   DD    L data bytes
//   CC    checksum: two's complement of the sum, modulo 256, of every byte
//         before it (length, both address bytes, type and data)
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

inline constexpr std::uint8_t kDataType = 0x00;
inline constexpr std::uint8_t kEndOfFileType = 0x01;

inline constexpr std::size_t kMaxDataBytes = 255;
// Header, data and checksum of the longest record: 260 bytes.
inline constexpr std::size_t kMaxLineBytes = kHeaderBytes + kMaxDataBytes + 1;
// The longest text that can be a record line: 521 characters.
inline constexpr std::size_t kMaxLineChars = 1 + 2 * kMaxLineBytes;

// Data bytes per record when an image is written back out.
inline constexpr std::size_t kOutputDataBytes = 16;

// 16-bit record addresses reach 64 KiB; no image may be larger.
inline constexpr std::size_t kLargestImage = 0x10000;

}  // namespace record_format

}  // namespace hexpoke

#endif  // HEXPOKE_RECORDS_RECORD_FORMAT_H_
