// Runs that stop at the command line: nothing is opened, nothing created.
#include <filesystem>

#include "sercap_test.h"

namespace {

namespace fs = std::filesystem;

struct StopCase {
  const char* name;
  std::vector<std::string> args;
  std::string out;  // exact, or "" for the usage text
  std::string usageDefaultLine;
};

void PrintTo(const StopCase& c, std::ostream* os) {
  *os << c.name;
}

// The usage text as a user sees it after "./sercap -help", from
// fixtures/usage.txt, for a program started as `program` and with the line
// of the settings as they stood replaced by `defaultLine`.
std::string usageText(const std::string& program, const std::string& defaultLine) {
  std::string text = readWholeFile(std::string(SERCAP_TEST_FIXTURES) + "/usage.txt");
  const std::string shownName = "usage:./sercap ";
  EXPECT_EQ(text.rfind(shownName, 0), 0u) << "fixtures/usage.txt";
  text.replace(0, shownName.size(), "usage:" + program + " ");
  const size_t line = text.find("\ndefault is ") + 1;
  text.replace(line, text.find('\n', line) - line, defaultLine);
  return text;
}

class CommandLineStopTest : public SercapTest, public ::testing::WithParamInterface<StopCase> {};

TEST_P(CommandLineStopTest, PrintsItsMessageAndOpensNothing) {
  const StopCase& c = GetParam();
  auto run = start(c.args);
  ProgramResult result = finish(*run);

  EXPECT_EQ(result.status, usageStatus());
  if (c.out.empty()) {
    EXPECT_EQ(result.out, usageText(sercapProgram(), c.usageDefaultLine));
  } else {
    EXPECT_EQ(result.out, c.out);
  }
  EXPECT_TRUE(std::filesystem::is_empty(work().path())) << "a stopped run created a file";
}

INSTANTIATE_TEST_SUITE_P(
    Stops, CommandLineStopTest,
    ::testing::Values(
        StopCase{"Help",
                 {"-help"},
                 "",
                 "default is COM1 -t 20 -f zurout.spt -r 9600 , no parity(0), 1 stopBit(0), "
                 "DTR&RTS flowctrl Enabled (1)"},
        // The usage text shows the settings parsed before the unknown word;
        // "-d" is no debug switch here, and so prints no options line.
        StopCase{"HelpAfterSettings",
                 {"COM3", "-t", "5", "-d", "-pe", "-f", "x.spt", "-help", "-r", "300"},
                 "",
                 "default is COM3 -t 5 -f x.spt -r 9600 , even parity(2), 1 stopBit(0), "
                 "DTR&RTS flowctrl Enabled (1)"},
        StopCase{"LowerCaseComIsNoPort",
                 {"com3"},
                 "",
                 "default is COM1 -t 20 -f zurout.spt -r 9600 , no parity(0), 1 stopBit(0), "
                 "DTR&RTS flowctrl Enabled (1)"},
        StopCase{"ValueMissingAtTheEnd",
                 {"/dev/does-not-exist", "-t"},
                 "",
                 "default is /dev/does-not-exist -t 20 -f zurout.spt -r 9600 , no parity(0), 1 "
                 "stopBit(0), DTR&RTS flowctrl Enabled (1)"},
        StopCase{"EndMarkerFirst", {"-me", "x"}, "-md|-mh option must be set before -me\n", ""},
        StopCase{
            "BeginMarkerFirst", {"-d", "-ms", "<"}, "-md|-mh option must be set before -ms\n", ""},
        StopCase{"SecondEndMarker",
                 {"-mh", "-me", ">", "-me", "]"},
                 "-md|-mh option must be set before -me\n",
                 ""}),
    [](const auto& info) { return std::string(info.param.name); });

using PortListingTest = SercapTest;

TEST_F(PortListingTest, ListsThePortsPresentAndNothingElse) {
  PtyDevice free;
  PtyDevice held;
  publishPort(7, free.slavePath());
  publishPort(8, held.slavePath());
  publishPort(3, "/dev/does-not-exist");
  // Beyond the listed range.
  publishPort(25, free.slavePath());
  auto holder = startOnLine(held, {"-ntx", "1", "-t", "30", "-f", "held.spt"});
  ASSERT_NE(holder, nullptr);

  auto run = start({});
  ProgramResult result = finish(*run);
  EXPECT_EQ(result.status, 0);
  // Serial devices of this machine may be listed too, so only the ports of
  // the map are checked.
  const std::string banner = sercapProgram() +
                             " version 2.1\n"
                             "use -help option to get usage\n"
                             "available COM ports are: ";
  EXPECT_EQ(result.out.rfind(banner, 0), 0u) << result.out;
  EXPECT_NE(result.out.find("COM7\n \n"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("COM8\n \n"), std::string::npos) << "a busy port is present\n"
                                                             << result.out;
  EXPECT_EQ(result.out.find("COM3\n"), std::string::npos) << result.out;
  EXPECT_EQ(result.out.find("COM25"), std::string::npos) << result.out;
  // Nothing created but the holder's capture file.
  std::vector<std::string> files;
  for (const auto& entry : fs::directory_iterator(work().path())) {
    files.push_back(entry.path().filename());
  }
  EXPECT_EQ(files, std::vector<std::string>{"held.spt"});

  // The probe left the capture on the held port alone.
  ASSERT_TRUE(held.send("still captured\n\x1a\n"));
  EXPECT_EQ(finish(*holder).status, 0);
  EXPECT_EQ(workFile("held.spt"), "still captured\r\n");
}

}  // namespace
