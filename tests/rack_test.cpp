// The long options a test rack uses, run as a user runs them: the summary,
// fail texts, the expected end, the deadline, timestamps, the raw copy.
#include <filesystem>

#include "sercap_test.h"

namespace {

using RackStopTest = SercapTest;

// --help and --version end at once with 0; a wrong long option is the usage
// text. None of them opens or creates anything.
TEST_F(RackStopTest, HelpVersionAndWrongLongOptions) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string firstLine;
  } cases[] = {
      {{"--help"}, 0, "usage: " + sercapProgram() + " [port] [options]"},
      {{"COM3", "-d", "--version"}, 0, sercapProgram() + " version 2.1"},
      {{"--bogus"}, usageStatus(), "usage:" + sercapProgram() + " [COMx] [-d] [-t time-out] "},
      {{"--summary"}, usageStatus(), "usage:" + sercapProgram() + " [COMx] [-d] [-t time-out] "},
      {{"--timestamps", "elapsed"},
       usageStatus(),
       "usage:" + sercapProgram() + " [COMx] [-d] [-t time-out] "},
  };
  for (const Case& c : cases) {
    auto run = start(c.args);
    ProgramResult result = finish(*run);
    EXPECT_EQ(result.status, c.status) << c.args[0];
    EXPECT_EQ(result.out.substr(0, c.firstLine.size()), c.firstLine) << result.out;
    EXPECT_TRUE(std::filesystem::is_empty(work().path())) << c.args[0];
  }
}

}  // namespace
