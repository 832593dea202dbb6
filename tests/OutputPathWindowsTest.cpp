// SPDX-License-Identifier: MIT
// Where hexpoke writes on Windows, beyond what every platform shares:
// a file that another program holds open. Built for Windows only.

#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

#include "EndToEnd.h"
#include "ProcessRunner.h"

namespace hexpoke {

namespace {

// On Windows a file that another program holds open is replaced only if
// that program lets others write and delete it: it then reads on in the old
// file, which goes when it closes it. Otherwise hexpoke waits about a second
// for it to be let go of, then ends with one message, the old file as it was
// and nothing left beside it. The test itself is that other program.
TEST_F(EndToEnd, AFileHeldOpenElsewhereIsReplacedOnlyIfItsSharingAllows) {
  const std::string in = Write("in.hex", kTwoRecords);
  const struct {
    DWORD share;
    bool replaced;
  } cases[] = {
      {0, false},
      {FILE_SHARE_READ, false},
      {FILE_SHARE_READ | FILE_SHARE_WRITE, false},
      {FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, true},
  };
  for (const auto& c : cases) {
    const std::string file = Write("fw.hex", "old\n");
    const HANDLE held =
        CreateFileW(fs::u8path(file).c_str(), GENERIC_READ | GENERIC_WRITE,
                    c.share, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const ProcessResult result = Hexpoke(PatchArgs(in, file, "0", "22"));
    // The other program's view, replaced or not: the old file.
    char seen[16] = {};
    DWORD count = 0;
    EXPECT_TRUE(ReadFile(held, seen, sizeof seen, &count, nullptr)) << c.share;
    CloseHandle(held);
    EXPECT_EQ(std::string(seen, count), "old\n") << c.share;
    EXPECT_EQ(result.out,
              c.replaced ? "" : Native("Error : File not written\n"))
        << c.share;
    EXPECT_EQ(result.exit_code, c.replaced ? 0 : 127) << c.share;
    EXPECT_EQ(Read(file), c.replaced ? Native(kTwoRecordsPatched) : "old\n")
        << c.share;
    EXPECT_EQ(Listing(), (std::vector<std::string>{"fw.hex", "in.hex"}))
        << c.share;
  }
}

}  // namespace

}  // namespace hexpoke
