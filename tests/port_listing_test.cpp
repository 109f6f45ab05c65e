// The port listing lists the ports present, terminals only, and decides so
// without opening any port (an open raises DTR and RTS, which resets some
// boards). These tests run alone: under Wine, defining ports restarts the
// Wine prefix's server.
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "sercap_test.h"

namespace {

namespace fs = std::filesystem;

class PortListingMapTest : public SercapTest {
 protected:
  void SetUp() override {
    SKIP_UNDER_WINE("the port map is Linux's; Windows names its ports itself");
    { std::ofstream(work().file("plain")) << "not a tty"; }
    ASSERT_EQ(mkfifo(work().file("fifo").c_str(), 0600), 0);
    fs::create_directories(config().file("sercap/ports"));
    map("COM4", work().file("plain"));
    map("COM5", "/dev/null");
    map("COM6", work().file("fifo"));
    map("COM7", device.slavePath());
  }
  void map(const std::string& name, const std::string& target) {
    fs::create_symlink(target, config().file("sercap/ports/" + name));
  }
  std::string list() {
    auto run = start({});
    ProgramResult result = finish(*run);
    EXPECT_EQ(result.status, 0);
    return result.out;
  }

  PtyDevice device;
};

TEST_F(PortListingMapTest, LeavesOutWhatIsNoTerminal) {
  const std::string out = list();
  // Serial devices of this machine may be listed too, so only the map's
  // ports are checked.
  EXPECT_NE(out.find("COM7\n \n"), std::string::npos) << out;
  for (const char* name : {"COM4\n", "COM5\n", "COM6\n"}) {
    EXPECT_EQ(out.find(name), std::string::npos) << name << " listed:\n" << out;
  }
  EXPECT_EQ(readWholeFile(work().file("plain")), "not a tty");
}

TEST_F(PortListingMapTest, OpensNoPort) {
  int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, device.slavePath().c_str(), IN_OPEN), 0);
  ASSERT_GE(inotify_add_watch(watch, work().file("fifo").c_str(), IN_OPEN), 0);

  const std::string out = list();
  EXPECT_NE(out.find("COM7\n \n"), std::string::npos) << out;
  char events[1024];
  EXPECT_LT(read(watch, events, sizeof events), 0) << "the listing opened a port";
  close(watch);
}

class PortListingTest : public SercapTest {
 protected:
  ~PortListingTest() override {
    if (underWine()) undefineWinePorts(defined_);
  }

  // Makes COM`number` a port present for `device`: a port map link on Linux,
  // a port of Wine's own list under Wine (where only such ports are in the
  // system's serial device map).
  void definePorts(const std::map<int, std::string>& devices) {
    if (!underWine()) {
      for (const auto& [number, device] : devices) publishPort(number, device);
      return;
    }
    defined_.insert(devices.begin(), devices.end());
    ASSERT_TRUE(defineWinePorts(devices)) << "cannot define Wine ports";
  }

  std::string list() {
    auto run = start({});
    ProgramResult result = finish(*run);
    EXPECT_EQ(result.status, 0);
    return result.out;
  }

 private:
  std::map<int, std::string> defined_;
};

TEST_F(PortListingTest, ListsThePortsPresentAndNothingElse) {
  PtyDevice free;
  PtyDevice held;
  // Beyond the listed range: 25.
  definePorts({{7, free.slavePath()}, {8, held.slavePath()}, {25, free.slavePath()}});
  // A port map link to a device that is gone; Wine would list a port of its
  // list whose device is gone, where Windows has no such port at all.
  if (!underWine()) publishPort(3, "/dev/does-not-exist");
  auto holder = startOnLine(held, {"-ntx", "1", "-t", "30", "-f", "held.spt"});
  ASSERT_NE(holder, nullptr);

  const std::string out = list();
  // Serial devices of this machine may be listed too, so only the ports
  // defined here are checked.
  const std::string banner = sercapProgram() +
                             " version 2.1\n"
                             "use -help option to get usage\n"
                             "available COM ports are: ";
  EXPECT_EQ(out.rfind(banner, 0), 0u) << out;
  EXPECT_NE(out.find("COM7\n \n"), std::string::npos) << out;
  EXPECT_NE(out.find("COM8\n \n"), std::string::npos) << "a busy port is present\n" << out;
  EXPECT_EQ(out.find("COM3\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("COM25"), std::string::npos) << out;
  // Nothing created but the holder's capture file.
  std::vector<std::string> files;
  for (const auto& entry : fs::directory_iterator(work().path())) {
    files.push_back(entry.path().filename());
  }
  EXPECT_EQ(files, std::vector<std::string>{"held.spt"});

  // The listing left the capture on the held port alone.
  ASSERT_TRUE(held.send("still captured\n\x1a\n"));
  EXPECT_EQ(finish(*holder).status, 0);
  EXPECT_EQ(workFile("held.spt"), "still captured\r\n");
}

// Linux: PortListingMapTest.OpensNoPort.
TEST_F(PortListingTest, OpensNoPortUnderWine) {
  if (!underWine()) GTEST_SKIP() << "shown on Linux by PortListingMapTest.OpensNoPort";
  PtyDevice device;
  definePorts({{7, device.slavePath()}});
  int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, device.slavePath().c_str(), IN_OPEN), 0);

  const std::string out = list();
  EXPECT_NE(out.find("COM7\n \n"), std::string::npos) << out;
  char events[1024];
  EXPECT_LT(read(watch, events, sizeof events), 0) << "the listing opened the port";
  close(watch);
}

}  // namespace
