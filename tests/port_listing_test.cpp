// The port listing lists terminals only, and decides so without opening any
// port (an open raises DTR and RTS, which resets some boards).
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

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

}  // namespace
