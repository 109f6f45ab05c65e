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

class CommandLineStopTest : public SercapTest, public ::testing::WithParamInterface<StopCase> {};

TEST_P(CommandLineStopTest, PrintsItsMessageAndOpensNothing) {
  const StopCase& c = GetParam();
  auto run = start(c.args);
  ProgramResult result = finish(*run);

  EXPECT_EQ(result.status, usageStatus());
  if (c.out.empty()) {
    EXPECT_EQ(result.out.rfind(std::string("usage:") + sercapProgram() + " [COMx] [-d]", 0), 0u)
        << result.out;
    EXPECT_NE(result.out.find("\n" + c.usageDefaultLine + "\n"), std::string::npos) << result.out;
    const std::string lastLine = "\nit exit when outputfile is closed\n";
    ASSERT_GE(result.out.size(), lastLine.size());
    EXPECT_EQ(result.out.substr(result.out.size() - lastLine.size()), lastLine);
    EXPECT_EQ(result.out.find(">>>"), std::string::npos) << result.out;
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
        StopCase{"NoComPrefixIsNoPort",
                 {"cm3"},
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

}  // namespace
