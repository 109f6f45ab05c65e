#include "capture/capture_file.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "testing/console_capture.h"
#include "testing/temp_dir.h"

namespace {

void putAll(CaptureFile& file, const std::string& text) {
  for (char c : text) file.put(static_cast<uint8_t>(c));
}

TEST(CaptureFile, AppendsAndStoresLineFeedsAsCrLf) {
  TempDir dir;
  const std::string path = dir.file("c.spt");
  ConsoleCapture console;
  for (int run = 0; run < 2; ++run) {
    CaptureFile file(console.stream());
    ASSERT_EQ(file.open(path.c_str()), 0);
    const std::string text = "a\nb\r\n";
    putAll(file, text);
    file.put('\n');
    file.close();
    EXPECT_EQ(file.error(), 0);
  }
  EXPECT_EQ(readWholeFile(path), "a\r\nb\r\r\n\r\na\r\nb\r\r\n\r\n");
  EXPECT_EQ(console.text(), "");
}

// A long soak's capture file that has passed 2 GiB is appended to like any
// other, also by a 32-bit build (whose open must not refuse it for its size).
// The file is sparse: it takes no room on the disk.
TEST(CaptureFile, AppendsToAFileAlreadyPastTwoGibibytes) {
  TempDir dir;
  const std::string path = dir.file("soak.spt");
  const std::uintmax_t size = (std::uintmax_t{1} << 31) + 5;
  std::error_code error;
  { std::ofstream create(path); }
  std::filesystem::resize_file(path, size, error);
  if (error) GTEST_SKIP() << "no sparse 2 GiB file here: " << error.message();
  ConsoleCapture console;
  CaptureFile file(console.stream());
  ASSERT_EQ(file.open(path.c_str()), 0);
  putAll(file, "end\n");
  file.close();
  EXPECT_EQ(file.error(), 0);
  EXPECT_EQ(std::filesystem::file_size(path), size + 5);
  std::ifstream in(path, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(size));
  std::string tail(5, '\0');
  in.read(tail.data(), 5);
  EXPECT_EQ(tail, "end\r\n");
}

TEST(CaptureFile, LargeWritesAcrossTheBufferKeepEveryByte) {
  TempDir dir;
  const std::string path = dir.file("big.spt");
  std::string input, expected;
  for (int i = 0; i < 50000; ++i) {
    std::string line = "line " + std::to_string(i) + "\n";
    input += line;
    expected += line.substr(0, line.size() - 1) + "\r\n";
  }
  ConsoleCapture console;
  CaptureFile file(console.stream());
  ASSERT_EQ(file.open(path.c_str()), 0);
  putAll(file, input);
  file.close();
  EXPECT_EQ(readWholeFile(path), expected);
}

TEST(CaptureFile, OpenFailureGivesTheErrorNumber) {
  ConsoleCapture console;
  CaptureFile file(console.stream());
  EXPECT_EQ(file.open("/nonexistent-dir/c.spt"), ENOENT);
  EXPECT_FALSE(file.isOpen());
}

TEST(CaptureFile, WriteFailureIsReportedOnceAndRemembered) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  ConsoleCapture console;
  CaptureFile file(console.stream());
  ASSERT_EQ(file.open("/dev/full"), 0);
  std::string text(3 * CaptureFile::kBufferSize, 'x');
  putAll(file, text);
  file.put('y');
  file.flush();
  file.close();
  EXPECT_EQ(file.error(), ENOSPC);
  EXPECT_EQ(console.text(), "\n>>>write error on file /dev/full : 28\n");
  EXPECT_EQ(file.bytesWritten(), 0) << "nothing reached the file";
}

// The raw copy's way in: every byte as it is, line feeds too, also across
// the buffer; and what reached the file is counted as it was stored.
TEST(CaptureFile, BytesAsTheyAreAndWhatWasWritten) {
  TempDir dir;
  const std::string path = dir.file("raw.bin");
  std::string raw;
  for (int i = 0; i < 3 * 256 * 1024; ++i) raw += static_cast<char>(i * 7 % 256);
  ConsoleCapture console;
  CaptureFile file(console.stream());
  ASSERT_EQ(file.open(path.c_str()), 0);
  file.putAsIs(reinterpret_cast<const uint8_t*>(raw.data()), raw.size());
  putAll(file, "a\nb");
  file.close();
  EXPECT_TRUE(readWholeFile(path) == raw + "a\r\nb");
  EXPECT_EQ(file.bytesWritten(), static_cast<int64_t>(raw.size() + 4));
  const auto lineFeeds = std::count(raw.begin(), raw.end(), '\n');
  EXPECT_EQ(file.lineFeedsWritten(), lineFeeds + 1);
}

}  // namespace
