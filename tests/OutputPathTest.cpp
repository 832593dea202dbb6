// SPDX-License-Identifier: MIT
// Where hexpoke writes, on every platform: one file for input and output,
// outputs that cannot be opened, runs on one file at once, the longest
// name, devices. What only one platform has is in OutputPathPosixTest.cpp
// and OutputPathWindowsTest.cpp.

#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "EndToEnd.h"
#include "ProcessRunner.h"
#ifndef _WIN32
#include "PosixFixtures.h"
#endif

namespace hexpoke {

namespace {

// Whatever the name: on Windows one that the ANSI code page cannot hold
// (the euro sign in most, Japanese in all but one) must reach the file.
TEST_F(EndToEnd, PatchesInPlaceWhenInputAndOutputAreOneFile) {
  for (const char* name : {"firmware.hex", u8"\u00e9.hex", u8"fw\u20ac.hex",
                           u8"fw\u65e5\u672c.hex"}) {
    const std::string file = Write(name, kTwoRecords);
    const ProcessResult result = Hexpoke(PatchArgs(file, file, "1", "FFFF"));
    EXPECT_EQ(result.out, "") << name;
    EXPECT_EQ(result.exit_code, 0) << name;
    EXPECT_EQ(Read(file),
              Native(":1000000000FFFF030405060708090A0B0C0D0E0F7D\n"
                     ":10001000101112131415161718191A1B1C1D1E1F68\n"
                     ":00000001FF\n"))
        << name;
    EXPECT_EQ(Listing(), std::vector<std::string>{name}) << name;
    fs::remove(fs::u8path(file));
  }
}

TEST_F(EndToEnd, OutputsThatCannotBeOpenedAreReported) {
  const std::string in = Write("in.hex", kTwoRecords);
  fs::create_directory(Path("subdir"));
  for (const std::string& out :
       {Path("missing/out.hex"), Path("subdir"), Path("subdir/"),
        Path(std::string(256, 'n')), Path("in.hex/")}) {
    const ProcessResult result = Hexpoke(PatchArgs(in, out, "0", "AA"));
    EXPECT_EQ(result.out, Native("Error : File not opened\n")) << out;
    EXPECT_EQ(result.err, "") << out;
    EXPECT_EQ(result.exit_code, 127) << out;
    EXPECT_EQ(Listing(), (std::vector<std::string>{"in.hex", "subdir"}));
    EXPECT_TRUE(fs::is_empty(Path("subdir")));
  }
}

// The 32 bytes from 0000 of a file that holds two full data records and
// the end-of-file record, exactly as hexpoke writes them; nothing for any
// other text (one cut short or torn).
std::optional<std::vector<int>> TwoRecordImage(const std::string& text) {
  std::vector<int> bytes;
  for (std::size_t at = 9; bytes.size() < 32 && at + 2 <= text.size();
       at += bytes.size() == 16 ? 4 + Native("\n").size() + 9 : 2) {
    bytes.push_back(std::stoi(text.substr(at, 2), nullptr, 16));
  }
  if (bytes.size() != 32) return std::nullopt;
  std::string rendered;
  for (int record = 0; record < 2; ++record) {
    char line[48];
    int sum = 0x10 + record * 0x10;
    std::snprintf(line, sizeof line, ":10%04X00", record * 0x10);
    rendered += line;
    for (int i = 0; i < 16; ++i) {
      const int byte = bytes[static_cast<std::size_t>(record * 16 + i)];
      sum += byte;
      std::snprintf(line, sizeof line, "%02X", byte);
      rendered += line;
    }
    std::snprintf(line, sizeof line, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
    rendered += line;
  }
  if (Native(rendered + ":00000001FF\n") != text) return std::nullopt;
  return bytes;
}

// Many runs patch one file at once, each its own byte, the file named the
// same way by each or in several ways, while other runs read it. Each run
// holds the file from before it reads it until its patch is in, so every
// run succeeds, no reader meets a damaged line (each writes a whole file of
// what it read), and the file ends as if the patches had been made one
// after another. Where the runs go from either of two files to either (A to
// B, B to A, A to A, B to B), each file ends as one run's whole output,
// with that run's patch in it, and again no run fails because another ran.
TEST_F(EndToEnd, RunsOnOneFileAtOnceAllLand) {
  constexpr int kRuns = 24;
  constexpr int kReaders = 6;
  const struct {
    const char* name;
    Platform platform;
    std::vector<std::string> names;  // each run takes the next
    bool in_place;
    bool two_files = false;  // the next input and the next output
  } cases[] = {
      {"a file replaced", Platform::kAny, {"fw.hex"}, false},
#ifdef _WIN32
      {"one file by several names", Platform::kAny,
       {"fw.hex", ".\\fw.hex", "sub\\..\\fw.hex"}, false},
#else
      {"one file by several names", Platform::kAny,
       {"fw.hex", "./fw.hex", "link.hex", "sub/../fw.hex"}, false},
#endif
      // In a directory where no new file may be made beside it.
      {"a file rewritten in place", Platform::kPosix, {"closed/fw.hex"}, true},
      {"two files, from either to either", Platform::kAny,
       {"a.hex", "b.hex", "b.hex", "a.hex", "a.hex", "a.hex", "b.hex",
        "b.hex"},
       false, true},
  };
  int n = 0;
  for (const auto& c : cases) {
    if (!RunsHere(c.platform, c.name)) continue;
    const fs::path row = dir_ / ("row" + std::to_string(n++));
    fs::create_directories(row / "sub");
    fs::create_directory(row / "reads");
    fs::permissions(row / "reads", fs::perms::all);
    ProcessOptions options;
    options.working_directory = row.u8string();
    std::string hexpoke = HexpokeBinary();
#ifndef _WIN32
    if (c.in_place && geteuid() == 0) {
      // Root may make a file anywhere: the runs are made as another user.
      options = Unprivileged(row);
      hexpoke = "./hexpoke";
    }
    fs::create_directory(row / "closed");
    fs::create_symlink("fw.hex", row / "link.hex");
#endif
    const fs::path file = row / (c.in_place ? "closed/fw.hex" : "fw.hex");
    for (const std::string& name : c.names) {
      std::ofstream(row / fs::u8path(name), std::ios::binary) << kTwoRecords;
    }
    std::ofstream(file, std::ios::binary) << kTwoRecords;
    const fs::path expected = row / "expected.hex";
    fs::copy_file(file, expected);
#ifndef _WIN32
    WritableOnlyInPlace(row / "closed", file);
    const ino_t inode = Stat(file.string()).st_ino;
#endif
    std::vector<std::vector<std::string>> runs;
    std::vector<std::string> outputs;  // of each patch, in order
    for (int i = 0; i < kRuns; ++i) {
      const std::size_t next =
          static_cast<std::size_t>(c.two_files ? 2 * i : i) % c.names.size();
      const std::string& in = c.names[next];
      const std::string& out = c.names[c.two_files ? next + 1 : next];
      char value[3];
      std::snprintf(value, sizeof value, "%02X", 0xA0 + i);
      runs.push_back(PatchCommand(hexpoke, in, out, std::to_string(i), value));
      outputs.push_back(out);
      // The same patches, one after another.
      const ProcessResult alone =
          Hexpoke(PatchArgs(expected.u8string(), expected.u8string(),
                            std::to_string(i), value));
      ASSERT_EQ(alone.exit_code, 0) << c.name;
      if (i % (kRuns / kReaders) == 0) {
        runs.push_back(PatchCommand(hexpoke, in,
                                    "reads/" + std::to_string(i) + ".hex",
                                    "0", "00"));
      }
    }
    const std::vector<ProcessResult> results = RunAtOnce(runs, options);
    for (std::size_t i = 0; i < results.size(); ++i) {
      EXPECT_EQ(results[i].out, "") << c.name << ", run " << i;
      EXPECT_EQ(results[i].exit_code, 0) << c.name << ", run " << i;
    }
    // Byte i is 0xA0 + i once run i's patch is in, and i until then; a
    // reader's own patch puts 00 at 0.
    const auto seen_whole = [&](const std::string& name, bool own_patch) {
      const auto image = TwoRecordImage(Read((row / fs::u8path(name)).u8string()));
      ASSERT_TRUE(image.has_value()) << c.name << ": " << name;
      bool found = false;
      for (int i = 0; i < 32; ++i) {
        const int byte = (*image)[static_cast<std::size_t>(i)];
        EXPECT_TRUE(byte == i || (i < kRuns && byte == 0xA0 + i))
            << c.name << ": " << name << ", byte " << i;
        found = found || (i < kRuns && byte == 0xA0 + i &&
                          outputs[static_cast<std::size_t>(i)] == name);
      }
      EXPECT_TRUE(found || !own_patch) << c.name << ": " << name;
    };
    for (int i = 0; i < kRuns; i += kRuns / kReaders) {
      seen_whole("reads/" + std::to_string(i) + ".hex", false);
    }
    if (c.two_files) {
      seen_whole("a.hex", true);
      seen_whole("b.hex", true);
    } else {
      EXPECT_EQ(Read(file.u8string()), Read(expected.u8string())) << c.name;
    }
#ifndef _WIN32
    if (c.in_place) {
      EXPECT_EQ(Stat(file.string()).st_ino, inode) << c.name;
    }
    fs::permissions(row / "closed", fs::perms::all);  // to clean up
#endif
    for (const std::string& name : Listing(file.parent_path())) {
      EXPECT_EQ(name.find(".tmp"), std::string::npos) << c.name << ": " << name;
    }
  }
}

TEST_F(EndToEnd, AFileWithTheLongestNameIsReplacedToo) {
  const std::string file = Write(std::string(251, 'f') + ".hex", kTwoRecords);
  const ProcessResult result = Hexpoke(PatchArgs(file, file, "0", "22"));
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(Read(file).substr(0, 15), ":10000000220102");
  EXPECT_EQ(Listing().size(), 1u);
}

// Devices are never taken for files to be replaced, whatever their names,
// and what is written to one must reach it: a block device is synced, and
// a failure there is a failed write. The block devices are loop devices
// over a file in a small tmpfs, which has room for it or is full: there a
// shell's redirection ends well, and the device gets nothing (the kernel
// logs "lost async page write").
TEST_F(EndToEnd, DevicesAreWrittenDirectly) {
  const std::string in = Write("in.hex", ":0100000011EE\n");
  const std::string image = ":0100000022DD\n:00000001FF\n";
  std::vector<std::string> listing = {"in.hex"};
#ifndef _WIN32
  // A link of the user's own to a device is a device too.
  fs::create_symlink("/dev/null", Path("null-link"));
  fs::create_directory(Path("disk"));
  listing = {"disk", "in.hex", "null-link"};
#endif
  enum Loop { kNoLoop, kLoop, kLoopOnAFullDisk };
  const struct {
    Platform platform;
    const char* output;  // in the test directory, or the loop device's row
    Loop loop;
    const char* out;
    int exit_code;
  } cases[] = {
      {Platform::kPosix, "null-link", kNoLoop, "", 0},
      {Platform::kPosix, "a loop device", kLoop, "", 0},
      {Platform::kPosix, "a loop device over a full disk", kLoopOnAFullDisk,
       "Error : File not written\n", 127},
      {Platform::kWindows, "NUL", kNoLoop, "", 0},
      // The console, which the tests' children lack.
      {Platform::kWindows, "CON", kNoLoop, "Error : File not opened\n", 127},
  };
  ProcessOptions in_dir;
  in_dir.working_directory = dir_.u8string();
  for (const auto& c : cases) {
    if (!RunsHere(c.platform, c.output)) continue;
    std::string output = c.output;
    const std::string backing = Path("disk/backing");
#ifndef _WIN32
    PrivateMounts mounts;
    std::unique_ptr<LoopDevice> device;
    if (c.loop != kNoLoop) {
      if (!mounts.Tmpfs(Path("disk"), "size=256k")) {
        std::cout << "[ NOT RUN  ] row " << c.output
                  << ": no mount namespace\n";
        continue;
      }
      std::ofstream(backing).close();
      fs::resize_file(backing, 1 << 20);  // sparse: the disk holds nothing
      if (c.loop == kLoopOnAFullDisk) {
        const int filler = open(Path("disk/filler").c_str(),
                                O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        const std::string block(65536, '\0');
        while (write(filler, block.data(), block.size()) > 0) {
        }
        close(filler);
      }
      device = std::make_unique<LoopDevice>(backing);
      if (device->path().empty()) {
        std::cout << "[ NOT RUN  ] row " << c.output << ": no loop device\n";
        continue;
      }
      output = device->path();
      EXPECT_EQ(Redirect(in, output).exit_code, 0) << c.output;
    }
#endif
    const ProcessResult result =
        Hexpoke(PatchArgs(in, output, "0", "22"), in_dir);
    EXPECT_EQ(result.out, Native(c.out)) << c.output;
    EXPECT_EQ(result.exit_code, c.exit_code) << c.output;
    if (c.loop == kLoop) {
      EXPECT_EQ(Read(backing).substr(0, image.size()), image) << c.output;
    }
    EXPECT_EQ(Listing(), listing) << c.output;
  }
#ifndef _WIN32
  EXPECT_TRUE(fs::is_symlink(Path("null-link")));
  EXPECT_TRUE(fs::is_character_file("/dev/null"));
#endif
}

}  // namespace

}  // namespace hexpoke
