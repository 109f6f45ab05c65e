// Which devices a run may take as its port, and how it leaves the line: only
// a terminal, not the user's own terminal, not one a UUCP lock holds; and the
// line's settings are put back at the end.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "line_rate.h"
#include "sercap_test.h"

namespace {

namespace fs = std::filesystem;

std::string openFailure(const std::string& shown, int error, const std::string& captureFile,
                        int timeout = 20) {
  return "\n>>>open com " + shown + " error : " + std::to_string(error) + "\n\ndefault is " +
         shown + " -t " + std::to_string(timeout) + " -f " + captureFile +
         " -r 9600 , no parity(0), 1 stopBit(0)\n\n";
}

bool sameSettings(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

struct NotTerminalCase {
  const char* name;
  const char* port;      // a file of the working folder, or a path from "/"
  const char* mappedTo;  // a port map link `port` -> this, when not null
};

void PrintTo(const NotTerminalCase& c, std::ostream* os) {
  *os << c.name;
}

class NotTerminalTest : public SercapTest, public ::testing::WithParamInterface<NotTerminalCase> {};

TEST_P(NotTerminalTest, IsRefusedAsNoPort) {
  SKIP_UNDER_WINE("ports are COM names on Windows; a file or device path cannot be named as one");
  const NotTerminalCase& c = GetParam();
  { std::ofstream(work().file("plain")) << "not a tty"; }
  // Nobody writes to it: the run must not wait for a writer.
  ASSERT_EQ(mkfifo(work().file("fifo").c_str(), 0600), 0);
  if (c.mappedTo != nullptr) {
    fs::create_directories(config().file("sercap/ports"));
    fs::create_symlink(c.mappedTo, config().file(std::string("sercap/ports/") + c.port));
  }
  const std::string port = c.port[0] == '/' || c.mappedTo != nullptr ? c.port : work().file(c.port);
  auto run = start({port, "-f", "out.spt"});
  ProgramResult result = finish(*run, std::chrono::seconds(20));

  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, openFailure(port, 25, "out.spt"));
  EXPECT_EQ(workFile("plain"), "not a tty");
}

INSTANTIATE_TEST_SUITE_P(Paths, NotTerminalTest,
                         ::testing::Values(NotTerminalCase{"RegularFile", "plain", nullptr},
                                           NotTerminalCase{"DevNull", "/dev/null", nullptr},
                                           NotTerminalCase{"Fifo", "fifo", nullptr},
                                           NotTerminalCase{"MappedDevNull", "COM7", "/dev/null"}),
                         [](const auto& info) { return std::string(info.param.name); });

class ControllingTerminalTest : public SercapTest,
                                public ::testing::WithParamInterface<const char*> {};

// Run from a session whose controlling terminal is the device's line, as from
// a shell on that terminal.
TEST_P(ControllingTerminalTest, IsRefusedAsBusyAndLeftAlone) {
  SKIP_UNDER_WINE("controlling terminals are POSIX's");
  PtyDevice device;
  termios before;
  ASSERT_EQ(tcgetattr(device.slaveFd(), &before), 0);
  const std::string port = std::string(GetParam()) == "own path" ? device.slavePath() : GetParam();

  // The shell leads a session of its own without a terminal, so the first it
  // opens (without O_NOCTTY) becomes its controlling terminal, and sercap's.
  ProgramRun run("/bin/sh",
                 {"-c", "exec 3<>\"$1\" && shift && exec \"$@\"", "sh", device.slavePath(),
                  SERCAP_BINARY, port, "-t", "1", "-f", "out.spt"},
                 work().path());
  ProgramResult result = finish(run);

  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, openFailure(port, 16, "out.spt", 1));
  termios after;
  ASSERT_EQ(tcgetattr(device.slaveFd(), &after), 0);
  EXPECT_TRUE(sameSettings(before, after));
}

INSTANTIATE_TEST_SUITE_P(Names, ControllingTerminalTest, ::testing::Values("/dev/tty", "own path"),
                         [](const auto& info) {
                           return std::string(info.param) == "/dev/tty" ? "DevTty" : "OwnPath";
                         });

struct OwnCaptureFileCase {
  const char* name;
  bool portByMap;      // the port named COM7 through the port map, else by its path
  bool fileByLink;     // the file named by a link to the device, else by its path
  const char* option;  // which file of the run it is: "-f", "--raw" or "--summary"
};

void PrintTo(const OwnCaptureFileCase& c, std::ostream* os) {
  *os << c.name;
}

class OwnCaptureFileTest : public SercapTest,
                           public ::testing::WithParamInterface<OwnCaptureFileCase> {};

// A capture file, raw copy or summary that is the port's own device, by
// whatever names: the port is in use, by sercap itself, and the device never
// gets its own text back (nor a summary it might take for commands).
TEST_P(OwnCaptureFileTest, IsRefusedAsBusy) {
  SKIP_UNDER_WINE("a COM port as the capture file is POSIX's port map and paths");
  const OwnCaptureFileCase& c = GetParam();
  PtyDevice device;
  std::string port = device.slavePath();
  if (c.portByMap) {
    fs::create_directories(config().file("sercap/ports"));
    fs::create_symlink(device.slavePath(), config().file("sercap/ports/COM7"));
    port = "COM7";
  }
  std::string file = device.slavePath();
  if (c.fileByLink) {
    fs::create_symlink(device.slavePath(), work().file("line"));
    file = "line";
  }
  const bool captureFile = std::string(c.option) == "-f";
  std::vector<std::string> args = {port, "-ntx", "2", "-t", "3", "-f", captureFile ? file : "out"};
  if (!captureFile) args.insert(args.end(), {c.option, file});
  auto run = start(args);
  ASSERT_TRUE(device.send("hello\n"));
  ProgramResult result = finish(*run);

  EXPECT_EQ(result.status, 1);
  std::string expected = openFailure(port, 16, captureFile ? file : "out", 3);
  if (std::string(c.option) == "--summary") {
    expected += "\n>>>unable to write summary " + file + " : it is the port\n";
  }
  EXPECT_EQ(result.out, expected);
  EXPECT_EQ(device.receiveUntilQuiet(std::chrono::milliseconds(500)), "");
}

INSTANTIATE_TEST_SUITE_P(
    Names, OwnCaptureFileTest,
    ::testing::Values(OwnCaptureFileCase{"SamePath", false, false, "-f"},
                      OwnCaptureFileCase{"Link", false, true, "-f"},
                      OwnCaptureFileCase{"PortMap", true, false, "-f"},
                      OwnCaptureFileCase{"RawByLink", false, true, "--raw"},
                      OwnCaptureFileCase{"RawPortMap", true, false, "--raw"},
                      OwnCaptureFileCase{"SummaryByLink", false, true, "--summary"},
                      OwnCaptureFileCase{"SummaryPath", true, false, "--summary"}),
    [](const auto& info) { return std::string(info.param.name); });

struct RestoreCase {
  const char* name;
  std::vector<std::string> args;
  bool endedByDevice;  // the run transmits, then the device sends Ctrl-Z
  int status;
};

void PrintTo(const RestoreCase& c, std::ostream* os) {
  *os << c.name;
}

class LineRestoreTest : public SercapTest, public ::testing::WithParamInterface<RestoreCase> {};

TEST_P(LineRestoreTest, LineIsLeftAsItWasFound) {
  SKIP_UNDER_WINE(
      "the POSIX build restores the line's settings at close; a Windows port keeps "
      "what the last program set");
  const RestoreCase& c = GetParam();
  PtyDevice device;
  termios cooked;
  ASSERT_EQ(tcgetattr(device.slaveFd(), &cooked), 0);
  cooked.c_iflag |= IXON | ICRNL;
  cooked.c_lflag |= ECHO | ICANON | ISIG;
  cooked.c_oflag |= OPOST | ONLCR;
  cooked.c_cc[VMIN] = 1;
  cfsetspeed(&cooked, B1200);
  ASSERT_EQ(tcsetattr(device.slaveFd(), TCSANOW, &cooked), 0);
  ASSERT_EQ(tcgetattr(device.slaveFd(), &cooked), 0);

  std::vector<std::string> args = {device.slavePath()};
  args.insert(args.end(), c.args.begin(), c.args.end());
  auto run = start(args);
  if (c.endedByDevice) {
    ASSERT_TRUE(awaitTransmission(device, *run));
    ASSERT_TRUE(device.send("line\n\x1a\n"));
  }
  ProgramResult result = finish(*run);
  EXPECT_EQ(result.status, c.status) << result.out;

  termios after;
  ASSERT_EQ(tcgetattr(device.slaveFd(), &after), 0);
  EXPECT_TRUE(sameSettings(after, cooked))
      << "lflag " << std::hex << after.c_lflag << " for " << cooked.c_lflag;
  EXPECT_EQ(lineOutputRate(device.slaveFd()), 1200u);
}

INSTANTIATE_TEST_SUITE_P(
    Ends, LineRestoreTest,
    ::testing::Values(RestoreCase{"CtrlZ", {"-ntx", "1", "-t", "30", "-r", "115200"}, true, 0},
                      RestoreCase{"TimeOut", {"-t", "1", "-pe", "-s", "2"}, false, 0},
                      RestoreCase{"RefusedSettings", {"-r", "0"}, false, 8}),
    [](const auto& info) { return std::string(info.param.name); });

// UUCP lock files in the system's lock folder, removed again at the end.
class UucpLockTest : public SercapTest {
 protected:
  void SetUp() override {
    SKIP_UNDER_WINE("UUCP lock files are POSIX's");
    const std::string pts = device.slavePath().substr(std::strlen("/dev/"));
    std::string name = "LCK.." + pts;
    for (char& ch : name) {
      if (ch == '/') ch = '_';
    }
    lockPath = "/run/lock/" + name;
    if (access("/run/lock", W_OK) != 0) GTEST_SKIP() << "/run/lock is not writable here";
  }
  void TearDown() override {
    if (!lockPath.empty()) unlink(lockPath.c_str());
  }
  void writeLock(const std::string& content) {
    std::ofstream(lockPath, std::ios::binary | std::ios::trunc) << content;
  }
  static std::string textPid(long pid) {
    char text[32];
    std::snprintf(text, sizeof text, "%10ld\n", pid);
    return text;
  }

  PtyDevice device;
  std::string lockPath;
};

TEST_F(UucpLockTest, LiveLockMakesThePortBusy) {
  const pid_t live = getpid();  // this test: alive, and not sercap
  std::string binary(sizeof(int), '\0');
  const int pid = live;
  std::memcpy(binary.data(), &pid, sizeof pid);
  fs::create_directories(config().file("sercap/ports"));
  fs::create_symlink(device.slavePath(), config().file("sercap/ports/COM7"));

  for (const std::string& content : {textPid(live), binary}) {
    writeLock(content);
    for (const std::string& port : {device.slavePath(), std::string("COM7")}) {
      auto run = start({port, "-f", "out.spt"});
      ProgramResult result = finish(*run);
      EXPECT_EQ(result.status, 1);
      EXPECT_EQ(result.out, openFailure(port, 16, "out.spt"));
    }
  }
}

TEST_F(UucpLockTest, StaleLockDoesNotBlock) {
  // A process that has ended and been reaped.
  pid_t child = fork();
  if (child == 0) _exit(0);
  int status;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  // And numbers that no process can have, though a cast to pid_t would make
  // them 0 (this process group), -1 (every process) or 1 (init).
  const std::string stale[] = {textPid(child), "4294967296\n", "4294967295\n", "4294967297\n"};

  for (const std::string& lock : stale) {
    writeLock(lock);
    std::remove(work().file("out.spt").c_str());
    auto run = startOnLine(device, {"-ntx", "1", "-t", "30", "-f", "out.spt"});
    ASSERT_NE(run, nullptr) << lock;
    ASSERT_TRUE(device.send("captured\n\x1a\n"));
    ProgramResult result = finish(*run);
    EXPECT_EQ(result.status, 0) << lock;
    EXPECT_EQ(workFile("out.spt"), "captured\r\n");
    EXPECT_EQ(readWholeFile(lockPath), lock);  // not sercap's to remove
  }
}

}  // namespace
