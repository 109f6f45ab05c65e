// Which port a run opens, how it is configured, and how failures to open
// the port or the capture file end the run.
#include <termios.h>

#include <filesystem>
#include <fstream>

#include "line_rate.h"
#include "sercap_test.h"

namespace {

namespace fs = std::filesystem;

using PortTest = SercapTest;

struct MissingPortCase {
  const char* name;
  std::vector<std::string> args;
  const char* mappedTo;  // a port map link COM7 -> this, when not null
  std::string out;
  const char* captureFile;
};

void PrintTo(const MissingPortCase& c, std::ostream* os) {
  *os << c.name;
}

class MissingPortTest : public SercapTest, public ::testing::WithParamInterface<MissingPortCase> {};

TEST_P(MissingPortTest, FailsWithTheOpenMessageAndLeavesTheCaptureFile) {
  const MissingPortCase& c = GetParam();
  if (c.mappedTo != nullptr) {
    fs::create_directories(config().file("sercap/ports"));
    fs::create_symlink(c.mappedTo, config().file("sercap/ports/COM7"));
  }
  auto run = start(c.args);
  ProgramResult result = finish(*run);

  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, c.out);
  // Opened before the port, so it is there, empty.
  EXPECT_TRUE(fs::is_regular_file(work().file(c.captureFile)));
  EXPECT_EQ(workFile(c.captureFile), "");
}

INSTANTIATE_TEST_SUITE_P(
    Ports, MissingPortTest,
    ::testing::Values(
        // No machine numbers 200 serial devices, and the port map is empty.
        MissingPortCase{"LongComName",
                        {"COM200"},
                        nullptr,
                        "\n>>>open com \\\\.\\COM200 error : 2\n"
                        "\ndefault is COM200 -t 20 -f zurout.spt -r 9600 , no parity(0), 1 "
                        "stopBit(0)\n\n",
                        "zurout.spt"},
        MissingPortCase{"ShortNonNumberedName",
                        {"COMX", "-f", "cap.spt"},
                        nullptr,
                        "\n>>>open com COMX error : 2\n"
                        "\ndefault is COMX -t 20 -f cap.spt -r 9600 , no parity(0), 1 "
                        "stopBit(0)\n\n",
                        "cap.spt"},
        MissingPortCase{"DevicePath",
                        {"-t", "5", "/dev/does-not-exist", "-r", "115200", "-pe", "-s", "2"},
                        nullptr,
                        "\n>>>open com /dev/does-not-exist error : 2\n"
                        "\ndefault is /dev/does-not-exist -t 5 -f zurout.spt -r 115200 , even "
                        "parity(2), 2 stopBit(2)\n\n",
                        "zurout.spt"},
        // A COM name is "COM" and a number: one that walks out of the device
        // namespace to a file is no port, and the file is never opened.
        MissingPortCase{"ComNameLeadingToAFile",
                        {"COM1\\..\\C:\\windows\\win.ini", "-f", "cap.spt"},
                        nullptr,
                        "\n>>>open com \\\\.\\COM1\\..\\C:\\windows\\win.ini error : 2\n"
                        "\ndefault is COM1\\..\\C:\\windows\\win.ini -t 20 -f cap.spt -r 9600 , "
                        "no parity(0), 1 stopBit(0)\n\n",
                        "cap.spt"},
        // The map's link decides even where the target is gone.
        MissingPortCase{"MappedToMissingDevice",
                        {"COM7", "-po", "-f", "cap.spt"},
                        "/dev/does-not-exist",
                        "\n>>>open com COM7 error : 2\n"
                        "\ndefault is COM7 -t 20 -f cap.spt -r 9600 , odd parity(1), 1 "
                        "stopBit(0)\n\n",
                        "cap.spt"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PortTest, RefusedRateEndsTheRun) {
  SKIP_UNDER_WINE("Wine accepts any rate, 0 too");
  PtyDevice device;
  auto run = start({port(device), "-r", "0", "-f", "out.spt"});
  ProgramResult result = finish(*run);

  EXPECT_EQ(result.status, 8);
  EXPECT_EQ(result.out, "\n>>>SetCommState error : 22\n\ndefault is " + port(device) +
                            " -t 20 -f out.spt -r 0 , no parity(0), 1 stopBit(0)\n\n");
  EXPECT_EQ(workFile("out.spt"), "");
}

TEST_F(PortTest, PortHeldByAnotherRunIsBusy) {
  SKIP_UNDER_WINE("exclusive open: Wine lets a second program open a port that one holds");
  PtyDevice device;
  auto holder = startOnLine(device, {"-ntx", "1", "-t", "30", "-f", "first.spt"});
  ASSERT_NE(holder, nullptr);

  auto second = start({port(device), "-f", "second.spt"});
  ProgramResult refused = finish(*second);
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.out, "\n>>>open com " + shownPort(device) +
                             " error : 16\n"
                             "\ndefault is " +
                             port(device) +
                             " -t 20 -f second.spt -r 9600 , no parity(0), 1 stopBit(0)\n\n");

  // The refused run left the holder's line alone.
  ASSERT_TRUE(device.send("still mine\n\x1a\n"));
  ProgramResult held = finish(*holder);
  EXPECT_EQ(held.status, 0);
  EXPECT_EQ(workFile("first.spt"), "still mine\r\n");

  // Released at the end: the next run gets the port.
  auto third = startOnLine(device, {"-ntx", "1", "-t", "30", "-f", "third.spt"});
  ASSERT_NE(third, nullptr);
  ASSERT_TRUE(device.send("again\n\x1a\n"));
  EXPECT_EQ(finish(*third).status, 0);
  EXPECT_EQ(workFile("third.spt"), "again\r\n");
}

TEST_F(PortTest, UnopenableCaptureFileEndsTheRunBeforeThePortIsOpened) {
  // Opening the missing device would print its own message; none may come.
  auto run = start({"/dev/does-not-exist", "-f", "/nonexistent/dir/out.spt"});
  ProgramResult result = finish(*run);

  EXPECT_EQ(result.status, fileErrorStatus());
  EXPECT_EQ(result.out, "\n>>>unable to open file /nonexistent/dir/out.spt\n");
}

struct PortMapCase {
  const char* name;
  bool fromHome;  // XDG_CONFIG_HOME empty: the map is under HOME/.config
};

void PrintTo(const PortMapCase& c, std::ostream* os) {
  *os << c.name;
}

class PortMapTest : public SercapTest, public ::testing::WithParamInterface<PortMapCase> {};

TEST_P(PortMapTest, MapNamesTheDevice) {
  SKIP_UNDER_WINE("the port map is Linux's; Windows names its ports itself");
  PtyDevice device;
  TempDir home;
  const std::string mapDir =
      GetParam().fromHome ? home.file(".config/sercap/ports") : config().file("sercap/ports");
  fs::create_directories(mapDir);
  fs::create_symlink(device.slavePath(), mapDir + "/COM7");
  ProgramRun::Environment env = {{"HOME", home.path()}};
  if (GetParam().fromHome) env.push_back({"XDG_CONFIG_HOME", ""});

  auto run = start({"COM7", "-d", "-ntx", "1", "-t", "30", "-f", "out.spt"}, env);
  ASSERT_TRUE(awaitTransmission(device, *run));
  ASSERT_TRUE(device.send("via the map\n\x1a\n"));
  ProgramResult result = finish(*run);

  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(workFile("out.spt"), "via the map\r\n");
  // Messages show the port's name, not the device it stands for.
  EXPECT_NE(result.out.find("\n>>>COM7, rate 9600 ,8 dataBits, parityCode(0), stopBitCode(0)\n"),
            std::string::npos)
      << result.out;
  EXPECT_EQ(result.out.find(device.slavePath()), std::string::npos) << result.out;
}

INSTANTIATE_TEST_SUITE_P(Places, PortMapTest,
                         ::testing::Values(PortMapCase{"ConfigHome", false},
                                           PortMapCase{"HomeConfig", true}),
                         [](const auto& info) { return std::string(info.param.name); });

struct SignalCase {
  const char* name;
  const char* list;
  std::string out;
  std::string received;  // by the device in the run
};

void PrintTo(const SignalCase& c, std::ostream* os) {
  *os << c.name;
}

class LineSignalTest : public SercapTest, public ::testing::WithParamInterface<SignalCase> {};

TEST_P(LineSignalTest, AppliesTheListBeforeCapturing) {
  SKIP_UNDER_WINE("modem lines: a pseudo-terminal has none, and Wine reports its own numbers");
  const SignalCase& c = GetParam();
  PtyDevice device;
  auto run = start({port(device), "-setsignal", c.list, "-ntx", "2", "-t", "3", "-f", "out.spt"});
  ProgramResult result = finish(*run);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, c.out);
  EXPECT_EQ(device.receiveUntilQuiet(std::chrono::milliseconds(500)), c.received);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, LineSignalTest,
    ::testing::Values(
        // A pseudo-terminal has no modem lines and no reset; the failures are
        // reported and the run goes on. Unknown items pass silently.
        SignalCase{"Mixed", "SETXOFF,SETXON,SETBREAK,CLRBREAK,777777,SETDTR,setdtr,,NONE,CLRRTSX",
                   "#* Set Signal SETXOFF\n#* Set Signal SETXON\n#* Set Signal SETBREAK\n"
                   "#* Set Signal CLRBREAK\n#!!Set Signal 777777 failed 95\n"
                   "#!!Set Signal SETDTR failed 25\n#!!Set Signal CLRRTS failed 25\n\n",
                   "^^"},
        // Output held by XOFF before the first transmission: none gets out.
        SignalCase{"OutputHeld", "SETXOFF", "#* Set Signal SETXOFF\n\n", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PortTest, LaterPortArgumentReplacesTheEarlierOne) {
  PtyDevice device;
  auto run = start(
      {"COM200", "/dev/does-not-exist", port(device), "-ntx", "1", "-t", "30", "-f", "out.spt"});
  ASSERT_TRUE(awaitTransmission(device, *run));
  ASSERT_TRUE(device.send("x\n\x1a\n"));
  ProgramResult result = finish(*run);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "\n");
}

struct LineSettingsCase {
  const char* name;
  std::vector<std::string> args;
  uint32_t rate;
  bool oddParity;
  bool twoStopBits;
  const char* debugLine;
};

void PrintTo(const LineSettingsCase& c, std::ostream* os) {
  *os << c.name;
}

class LineSettingsTest : public SercapTest,
                         public ::testing::WithParamInterface<LineSettingsCase> {};

TEST_P(LineSettingsTest, ConfiguresTheLineAsAsked) {
  const LineSettingsCase& c = GetParam();
  if (c.oddParity) SKIP_UNDER_WINE("parity and rates without a standard value");
  PtyDevice device;
  // Start from settings sercap must undo.
  termios cooked;
  ASSERT_EQ(tcgetattr(device.slaveFd(), &cooked), 0);
  cooked.c_iflag |= IXON | IXOFF | ICRNL;
  cooked.c_lflag |= ECHO | ICANON;
  cooked.c_oflag |= OPOST | ONLCR;
  cfsetspeed(&cooked, B1200);
  ASSERT_EQ(tcsetattr(device.slaveFd(), TCSANOW, &cooked), 0);

  std::vector<std::string> args = c.args;
  args.insert(args.end(), {"-d", "-ntx", "1", "-t", "30", "-f", "out.spt"});
  auto run = startOnLine(device, args);
  ASSERT_NE(run, nullptr);

  termios line;
  ASSERT_EQ(tcgetattr(device.slaveFd(), &line), 0);
  EXPECT_EQ(lineOutputRate(device.slaveFd()), c.rate);
  EXPECT_EQ(line.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  // A pseudo-terminal clears PARENB whatever is asked; PARODD stays.
  EXPECT_EQ((line.c_cflag & PARODD) != 0, c.oddParity);
  EXPECT_EQ((line.c_cflag & CSTOPB) != 0, c.twoStopBits);
  EXPECT_EQ(line.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR), 0u);
  EXPECT_EQ(line.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
  EXPECT_EQ(line.c_oflag & OPOST, 0u);

  // Raw both ways: a carriage return arrives as itself, a line feed sent
  // back is not turned into CR LF.
  ASSERT_TRUE(device.send("a\rb\n\x1a\n"));
  ProgramResult result = finish(*run);
  EXPECT_EQ(result.status, 0);
  EXPECT_NE(result.out.find(std::string("\n>>>") + shownPort(device) + c.debugLine),
            std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find("a<0d>b."), std::string::npos) << result.out;
}

INSTANTIATE_TEST_SUITE_P(
    Settings, LineSettingsTest,
    ::testing::Values(
        LineSettingsCase{"Defaults",
                         {},
                         9600,
                         false,
                         false,
                         ", rate 9600 ,8 dataBits, parityCode(0), stopBitCode(0)\n"},
        LineSettingsCase{"EvenTwoStopBits",
                         {"-r", "115200", "-pe", "-s", "2"},
                         115200,
                         false,
                         true,
                         ", rate 115200 ,8 dataBits, parityCode(2), stopBitCode(2)\n"},
        // A rate without a Bnnn constant is applied exactly.
        LineSettingsCase{"OddAtAnUnusualRate",
                         {"-r", "31250", "-po"},
                         31250,
                         true,
                         false,
                         ", rate 31250 ,8 dataBits, parityCode(1), stopBitCode(0)\n"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
