// The capture file a user names is the file created, whatever its characters
// and however long its path, and messages show the name as typed.
#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "sercap_test.h"

namespace {

namespace fs = std::filesystem;

class CaptureFileNameTest : public SercapTest {
 protected:
  // A run that creates the capture file and fails at the port, which no
  // machine numbers this high. Wine takes the arguments and the file names
  // in the locale's character set.
  ProgramResult runNaming(const std::string& path) {
    auto run = start({"COM200", "-f", path}, {{"LC_ALL", "C.UTF-8"}});
    ProgramResult result = finish(*run);
    EXPECT_EQ(result.status, 1) << path;
    return result;
  }

  std::vector<std::string> workFiles() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(work().path())) {
      if (entry.is_regular_file()) {
        names.push_back(fs::relative(entry.path(), work().path()).string());
      }
    }
    return names;
  }
};

TEST_F(CaptureFileNameTest, ANameInAnyScriptIsThatFile) {
  // Letters outside code page 1252, an ideograph, a sign beyond 16 bits.
  for (const std::string name :
       {"\xC5\x81\xC3\xB3"
        "d\xC5\xBA.txt",
        "\xE6\x97\xA5\xE6\x9C\xAC.spt", "\xCE\xB1\xCE\xB2 \xE2\x82\xAC \xF0\x9F\x98\x80.txt"}) {
    const ProgramResult result = runNaming(name);
    EXPECT_NE(result.out.find("-f " + name + " -r 9600"), std::string::npos)
        << "the name as typed:\n"
        << result.out;
    EXPECT_EQ(workFiles(), std::vector<std::string>{name});
    fs::remove(work().file(name));
  }
}

// The run summary and the raw copy are named the same way.
TEST_F(CaptureFileNameTest, SummaryAndRawCopyInAnyScriptAreThoseFiles) {
  const std::string summary = "\xE6\x97\xA5\xE6\x9C\xAC.json";
  const std::string raw =
      "\xC5\x81\xC3\xB3"
      "d\xC5\xBA.raw";
  auto run = start({"COM200", "-f", "out.spt", "--raw", raw, "--summary", summary},
                   {{"LC_ALL", "C.UTF-8"}});
  ProgramResult result = finish(*run);
  EXPECT_EQ(result.status, 1) << result.out;
  std::vector<std::string> files = workFiles();
  std::sort(files.begin(), files.end());
  std::vector<std::string> expected = {"out.spt", raw, summary};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(files, expected);
  EXPECT_NE(workFile(summary).find("\"end\": \"open-failure\""), std::string::npos)
      << workFile(summary);
}

TEST_F(CaptureFileNameTest, AMissingFolderIsReportedWithTheNameAsTyped) {
  const std::string path =
      "nowhere/\xC5\x81\xC3\xB3"
      "d\xC5\xBA.txt";
  auto run = start({"COM200", "-f", path}, {{"LC_ALL", "C.UTF-8"}});
  ProgramResult result = finish(*run);
  EXPECT_EQ(result.status, fileErrorStatus());
  EXPECT_EQ(result.out, "\n>>>unable to open file " + path + "\n");
}

TEST_F(CaptureFileNameTest, PathsLongerThanTwoHundredSixtyCharactersWork) {
  std::string folder;
  for (int i = 0; i < 5; ++i) folder += std::string(60, static_cast<char>('a' + i)) + "/";
  fs::create_directories(work().file(folder));
  const std::string relative = folder + "capture.spt";
  const std::string absolute = work().file(folder + "other.spt");
  ASSERT_GT(relative.size(), 260u);

  for (const std::string& path : {relative, absolute}) runNaming(path);
  EXPECT_TRUE(fs::is_regular_file(work().file(relative)));
  EXPECT_TRUE(fs::is_regular_file(absolute));
  EXPECT_EQ(workFiles().size(), 2u);
}

}  // namespace
