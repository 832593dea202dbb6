// SPDX-License-Identifier: MIT
// The command line, the patch and the messages, as a script sees them: the
// exact standard output, an empty standard error, the exit code and the
// output file, written or left alone.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "EndToEnd.h"
#include "ProcessRunner.h"

namespace hexpoke {

namespace {

// Cases that need no files: the command line is judged before anything is
// opened, and help opens nothing even when the input does not exist.
TEST_F(EndToEnd, CommandLinesEndWithTheirExactTextAndCode) {
  const CliCase cases[] = {
      {"short help", {"-h"}, kUsage, 0},
      {"long help", {"--help"}, kUsage, 0},
      {"help with other options",
       {"-i", "/no/such/file", "-h", "-a", "5", "-v", "AA"}, kUsage, 0},
      {"help as a prefix", {"--he"}, kUsage, 0},
      {"no arguments", {}, kBadAnyCast, 127},
      {"undeclared option", {"--fill", "FF"},
       "Error : unrecognised option '--fill'\n", 127},
      {"missing value", {"-i"},
       "Error : the required argument for option '--input' is missing\n", 127},
      {"repeated option", {"-i", "a.hex", "-i", "b.hex"},
       "Error : option '--input' cannot be specified more than once\n", 127},
      {"hexadecimal address, even with help", {"-h", "-a", "0x100"},
       "Error : the argument ('0x100') for option '--address' is invalid\n",
       127},
      {"address beyond int", {"-a", "4294967296"},
       "Error : the argument ('4294967296') for option '--address' is "
       "invalid\n",
       127},
      {"missing input file", {"-i", "/no/such/file.hex"},
       "Error : File not opened\n", 127},
      {"directory as input", {"-i", "/"}, "Error : File not read\n", 127},
  };
  for (const CliCase& c : cases) {
    const ProcessResult result = Hexpoke(c.args);
    EXPECT_EQ(result.out, Native(c.out)) << c.name;
    EXPECT_EQ(result.err, "") << c.name;
    EXPECT_EQ(result.exit_code, c.exit_code) << c.name;
  }
}

// Each case loads an input, patches it and checks standard output and the
// whole output file, which exists beforehand with longer contents and must
// be replaced whole.
TEST_F(EndToEnd, PatchOverwritesAndGrowsTheImage) {
  static const char kFirstRecord[] =
      ":10000000000102030405060708090A0B0C0D0E0F78\n";
  static const char kSecondRecord[] =
      ":10001000101112131415161718191A1B1C1D1E1F68\n";
  const struct {
    const char* name;
    std::string input;
    std::vector<std::string> args;
    std::string out;
    std::string output;
  } cases[] = {
      {"two bytes into the second record", kTwoRecords, {"-a", "16", "-v", "A55A"},
       "",
       kFirstRecord +
           std::string(":10001000A55A12131415161718191A1B1C1D1E1F8A\n"
                       ":00000001FF\n")},
      {"inside the first record", kTwoRecords, {"-a", "4", "-v", "AABB"}, "",
       ":1000000000010203AABB060708090A0B0C0D0E0F1C\n" +
           std::string(kSecondRecord) + ":00000001FF\n"},
      {"appended at the end", kTwoRecords, {"-a", "32", "-v", "AABB"}, "",
       kFirstRecord + std::string(kSecondRecord) +
           ":02002000AABB79\n:00000001FF\n"},
      {"past the end, the gap filled with zeros", kTwoRecords,
       {"-a", "40", "-v", "01"}, "",
       kFirstRecord + std::string(kSecondRecord) +
           ":09002000000000000000000001D6\n:00000001FF\n"},
      {"across the end, lowercase digits", kTwoRecords,
       {"-a", "31", "-v", "aabb"}, "",
       kFirstRecord +
           std::string(":10001000101112131415161718191A1B1C1D1EAADD\n"
                       ":01002000BB24\n:00000001FF\n")},
      {"pairs that are not digits", kTwoRecords, {"-a", "0", "-v", "zz-1"}, "",
       ":1000000000FF02030405060708090A0B0C0D0E0F7A\n" +
           std::string(kSecondRecord) + ":00000001FF\n"},
      {"an empty input, long options", "", {"--address=0", "--value=01"}, "",
       ":0100000001FE\n:00000001FF\n"},
      {"parser messages come first",
       ":0400100001020304E3\r\n:0400100001020304\r\n", {"-a0", "-v01"},
       "error checksum. E2\nerror len: size - >8 4\n",
       ":0100000001FE\n:00000001FF\n"},
      // A DOS end-of-file mark is a word like any other, not an end.
      {"records after a Ctrl-Z byte",
       ":0100000011EE\r\n\x1A\r\n:0100010022DC\r\n\x1A", {"-a2", "-v33"},
       "", ":0300000011223397\n:00000001FF\n"},
      // From here on the image is not one run from 0000.
      {"past the end in the first 64 KiB, on across it",
       ":08FFF0000001020304050607ED\n", {"-a", "65534", "-v", "AABBCC"}, "",
       ":020000040000FA\n:10FFF0000001020304050607000000000000AABB80\n"
       ":020000040001F9\n:01000000CC33\n:00000001FF\n"},
      {"into a gap, which stays a gap elsewhere",
       kFirstRecord + std::string(":10002000202122232425262728292A2B2C2D2E2F58\n"),
       {"-a", "24", "-v", "5A"}, "",
       kFirstRecord + std::string(":010018005A8D\n"
                                  ":10002000202122232425262728292A2B2C2D2E2F58\n"
                                  ":00000001FF\n")},
      {"far past the end of firmware at 0x08000000: nothing added",
       ":020000040800F2\n:020000001122CB\n", {"-a", "134283248", "-v", "01020304"},
       "",
       ":020000040800F2\n:020000001122CB\n:04FFF0000102030403\n:00000001FF\n"},
      {"above 64 KiB, behind an image that ends below it", kTwoRecords,
       {"-a", "70000", "-v", "77"}, "",
       ":020000040000FA\n" + std::string(kFirstRecord) + kSecondRecord +
           ":020000040001F9\n:011170007707\n:00000001FF\n"},
      {"the largest address, on across 2 GiB", "", {"-a", "2147483647", "-v", "AABB"},
       "",
       ":020000047FFF7C\n:01FFFF00AA57\n:0200000480007A\n:01000000BB44\n"
       ":00000001FF\n"},
      {"start addresses kept, before the end",
       ":0400000300001234B3\n:0100000011EE\n:0400000508000123CB\n:00000001FF\n",
       {"-a", "0", "-v", "22"}, "",
       ":0100000022DD\n:0400000300001234B3\n:0400000508000123CB\n:00000001FF\n"},
      {"segment addressing kept", ":020000021000EC\n:0100000011EE\n",
       {"-a", "65536", "-v", "22"}, "",
       ":020000021000EC\n:0100000022DD\n:00000001FF\n"},
      // What reads on past a bad line or an odd record, as ever.
      {"an 04 record's address field is not looked at",
       ":020010040800E2\n:0400000001020304F2\n:00000001FF\n",
       {"-a", "134217732", "-v", "55"}, "",
       ":020000040800F2\n:0500000001020304559C\n:00000001FF\n"},
      {"files joined with cat keep all their records",
       kTwoRecords + std::string(":020000040800F2\n:0400000001020304F2\n:00000001FF\n"),
       {"-a", "0", "-v", "55"}, "",
       ":020000040000FA\n:10000000550102030405060708090A0B0C0D0E0F23\n" +
           std::string(kSecondRecord) +
           ":020000040800F2\n:0400000001020304F2\n:00000001FF\n"},
      {"records of other types skipped, good or bad",
       ":020000060800F0\n:020000060800F1\n" + std::string(kTwoRecords),
       {"-a", "0", "-v", "55"}, "error checksum. F0\n",
       ":10000000550102030405060708090A0B0C0D0E0F23\n" +
           std::string(kSecondRecord) + ":00000001FF\n"},
      {"an end-of-file record's data placed", ":01000001AA54\n:00000001FF\n",
       {"-a", "1", "-v", "55"}, "", ":02000000AA55FF\n:00000001FF\n"},
      {"a word too short for a type field skipped", ":020000\n:0100000011EE\n",
       {"-a", "1", "-v", "55"}, "error len: size - >3 2\n",
       ":02000000115598\n:00000001FF\n"},
  };
  for (const auto& c : cases) {
    const std::string in = Write("in.hex", c.input);
    const std::string out = Write("out.hex", std::string(5000, 'x'));
    std::vector<std::string> args = {"-i", in, "-o", out};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const ProcessResult result = Hexpoke(args);
    EXPECT_EQ(result.out, Native(c.out)) << c.name;
    EXPECT_EQ(result.err, "") << c.name;
    EXPECT_EQ(result.exit_code, 0) << c.name;
    EXPECT_EQ(Read(out), Native(c.output)) << c.name;
    EXPECT_EQ(Listing(), (std::vector<std::string>{"in.hex", "out.hex"}))
        << c.name;
  }
}

// Failures before the write stage leave an existing output file alone.
TEST_F(EndToEnd, FailuresLeaveTheOutputFileUntouched) {
  const std::string in = Write("in.hex", kTwoRecords + std::string(":00\n"));
  // Two bytes at 0x1FFFF under a segment base: the second wraps or not,
  // depending on the reader.
  const std::string crossing =
      Write("crossing.hex", ":020000021000EC\n:02FFFF00AABB9B\n");
  // Two bytes from 0xFFFFFFFF on.
  const std::string beyond = Write("far.hex", ":02000004FFFFFC\n:02FFFF00AABB9B\n");
  const std::string out = Path("out.hex");
  const std::string wrong = "Wrong walue\n";
  const std::string parser = "error len: size - >1 0\n";
  const CliCase cases[] = {
      {"empty value", {"-i", in, "-o", out, "-a", "0", "-v", ""}, "", 0},
      {"odd value", {"-i", in, "-o", out, "-a", "0", "-v", "ABC"}, "", 0},
      {"odd value, no address", {"-i", in, "-o", out, "-v", "ABC"}, "", 0},
      {"no value", {"-i", in, "-o", out, "-a", "0"}, "", 127},
      {"no address", {"-i", in, "-o", out, "-v", "AA"}, "", 127},
      {"negative address", {"-i", in, "-o", out, "-a", "-1", "-v", "AA"}, "",
       127},
      {"a stray word", {"-i", in, "-o", out, "-a", "0", "-v", "2026", "1208"},
       "", 127},
      {"a record crossing its segment's end",
       {"-i", crossing, "-o", out, "-a", "0", "-v", "AA"}, "", 127},
      {"data beyond 4 GiB", {"-i", beyond, "-o", out, "-a", "0", "-v", "AA"}, "",
       127},
  };
  const std::string expected_out[] = {
      parser + wrong, parser + wrong, parser + wrong,
      parser + kBadAnyCast, parser + kBadAnyCast,
      parser + "Error : Address out of range\n",
      "Error : too many positional options have been specified on the "
      "command line\n",
      "Error : Record crosses a segment boundary\n",
      "Error : Image too large\n"};
  std::size_t i = 0;
  for (const CliCase& c : cases) {
    Write("out.hex", "old contents\n");
    const ProcessResult result = Hexpoke(c.args);
    EXPECT_EQ(result.out, Native(expected_out[i++])) << c.name;
    EXPECT_EQ(result.err, "") << c.name;
    EXPECT_EQ(result.exit_code, c.exit_code) << c.name;
    EXPECT_EQ(Read(out), "old contents\n") << c.name;
    EXPECT_EQ(Listing(), (std::vector<std::string>{"crossing.hex", "far.hex",
                                                   "in.hex", "out.hex"}))
        << c.name;
  }

  // An extended or start address record that cannot be read, before data
  // at 0000: where that data belongs, or where the program starts, is
  // unknown, so nothing is written.
  const struct {
    const char* record;
    const char* messages;  // the line's own, before the error
  } unreadable[] = {
      {":020000040800F3", "error checksum. F2\n"},
      {":0400000408000000F0", ""},      // 04 of 4 bytes
      {":0100000408F3", ""},            // 04 of 1 byte
      {":020000040800", "error len: size - >6 2\n"},
      {":03000002100000EB", ""},        // 02 of 3 bytes
      {":020000021000ED", "error checksum. EC\n"},
      {":020000050800F1", ""},          // 05 of 2 bytes
      {":0400000508000123CC", "error checksum. CB\n"},
      {":04000005080001", "error len: size - >7 4\n"},
      {":03000003000012E8", ""},        // 03 of 3 bytes
      {":0400000300001234B4", "error checksum. B3\n"},
  };
  for (const auto& c : unreadable) {
    const std::string input =
        Write("address.hex", c.record + std::string("\n:0400000001020304F2\n:00000001FF\n"));
    Write("out.hex", "old contents\n");
    const ProcessResult result = Hexpoke(PatchArgs(input, out, "4", "55"));
    EXPECT_EQ(result.out,
              Native(c.messages + std::string("Error : Malformed address record\n")))
        << c.record;
    EXPECT_EQ(result.err, "") << c.record;
    EXPECT_EQ(result.exit_code, 127) << c.record;
    EXPECT_EQ(Read(out), "old contents\n") << c.record;
  }
}

TEST_F(EndToEnd, NoOutputOptionWritesNothing) {
  const std::string in = Write("in.hex", kTwoRecords);
  const ProcessResult result = Hexpoke({"-i", in, "-a", "0", "-v", "AA"});
  EXPECT_EQ(result.out, Native(kBadAnyCast));
  EXPECT_EQ(result.exit_code, 127);
  EXPECT_EQ(Listing(), std::vector<std::string>{"in.hex"});
}

TEST_F(EndToEnd, TheLastAddressOf64KiBIsWritable) {
  const std::string in = Write("in.hex", "");
  const ProcessResult result =
      Hexpoke(PatchArgs(in, Path("out.hex"), "65535", "5A"));
  EXPECT_EQ(result.exit_code, 0);
  const std::string out = Read(Path("out.hex"));
  // 4,096 data records of 43 characters and the end-of-file record.
  const std::size_t line_end = Native("\n").size();
  EXPECT_EQ(out.size(), 4096 * (43 + line_end) + 11 + line_end);
  const std::string last_lines = Native(
      ":10FFF0000000000000000000000000000000005AA7\n:00000001FF\n");
  EXPECT_EQ(out.substr(out.size() - last_lines.size()), last_lines);
}

// Inputs that are not Intel HEX at all, or are built to be costly, end
// with their proper messages and leave the output file either untouched or
// correctly replaced.
TEST_F(EndToEnd, HostileInputsStayCheapAndHarmless) {
  std::string binary;
  std::uint32_t state = 7;
  for (int i = 0; i < 65536; ++i) {
    state = state * 1103515245u + 12345u;
    binary += static_cast<char>(state >> 24);
  }
  std::string same_address;
  for (int i = 0; i < 200000; ++i) same_address += ":0100000011EE\n";
  std::string colons;
  for (int i = 0; i < 1000; ++i) colons += ":::\n";
  std::string colon_messages;
  for (int i = 0; i < 1000; ++i) colon_messages += "error len: size - >1 0\n";
  // Intel HEX saved as UTF-16 (PowerShell's >, Notepad's "Unicode").
  std::string utf16 = "\xFF\xFE";
  for (const char c : std::string(":0100000011EE\r\n:00000001FF\r\n")) {
    utf16 += c;
    utf16 += '\0';
  }
  static const char kNotHex[] = "Error : Not an Intel HEX file\n";

  const std::string patched_value = ":0100000055AA\n:00000001FF\n";
  static const char kUntouched[] = "old output\n";
  const struct {
    const char* name;
    std::string input;
    int exit_code;
    std::string out;  // standard output, or "*" for lines checked by form
    std::string output;  // the output file afterwards
  } cases[] = {
      {"binary file", binary, 0, "*", ""},
      // The NUL pair reads as 00, so the second line is a good record at 0000.
      {"NUL bytes between and inside words",
       ":0100000011EE\n" + std::string(3, '\0') + "\n:01" + std::string(2, '\0') +
           "000011EE\n",
       0, "", patched_value},
      {"one line of several megabytes",
       ":" + std::string(4 * 1024 * 1024, 'A') + "\n", 0,
       "error len: size - >2097152 170\n", patched_value},
      {"lines of only colons", colons, 0, colon_messages, patched_value},
      {"200,000 one-byte records at 0000", same_address, 0, "",
       patched_value},
      {"1,000,000 blank lines", std::string(1000000, '\n'), 0, "",
       patched_value},
      // Words and not one record line: written back, all would be lost.
      {"UTF-16 text", utf16, 127, kNotHex, kUntouched},
      {"S-records", "S00600004844521B\nS1070000111213149E\nS9030000FC\n", 127,
       kNotHex, kUntouched},
  };
  for (const auto& c : cases) {
    const std::string in = Write("in.hex", c.input);
    const std::string out = Write("out.hex", kUntouched);
    const ProcessResult result = Hexpoke(PatchArgs(in, out, "0", "55"));
    EXPECT_EQ(result.exit_code, c.exit_code) << c.name;
    EXPECT_EQ(result.err, "") << c.name;
    if (c.out == "*") {
      const std::string line_end = Native("\n");
      std::istringstream lines(result.out);
      std::string line;
      while (std::getline(lines, line)) {
        line += '\n';
        const bool ended =
            line.size() >= line_end.size() &&
            line.compare(line.size() - line_end.size(), std::string::npos,
                         line_end) == 0;
        if (ended) line.resize(line.size() - line_end.size());
        const bool length_message = line.rfind("error len: size - >", 0) == 0;
        const bool checksum_message = line.rfind("error checksum. ", 0) == 0 &&
                                      line.size() == 18;
        EXPECT_TRUE(ended && (length_message || checksum_message))
            << c.name << ": " << line;
      }
    } else {
      EXPECT_EQ(result.out, Native(c.out)) << c.name;
    }
    if (!c.output.empty()) {
      // A file left untouched keeps its own line ends.
      EXPECT_EQ(Read(out), c.exit_code == 0 ? Native(c.output) : c.output)
          << c.name;
    }
    // Whatever the image, the file written must load back cleanly.
    if (c.exit_code == 0) {
      const ProcessResult again =
          Hexpoke(PatchArgs(out, Path("again.hex"), "0", "55"));
      EXPECT_EQ(again.out, "") << c.name;
      EXPECT_EQ(Read(Path("again.hex")), Read(out)) << c.name;
      fs::remove(Path("again.hex"));
    }
    EXPECT_EQ(Listing(), (std::vector<std::string>{"in.hex", "out.hex"}))
        << c.name;
  }
}

}  // namespace

}  // namespace hexpoke
