#include "capture/capture_file.h"

#include <gtest/gtest.h>

#include <unistd.h>

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
}

}  // namespace
