#include "serial/port_names.h"

#include "serial/port_environment_linux.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "testing/temp_dir.h"

namespace {

namespace fs = std::filesystem;

TEST(ShownDevicePathTest, LongComNamesGetTheDevicePrefix) {
  const struct {
    const char* name;
    const char* shown;
  } cases[] = {
      {"COM1", "COM1"},
      {"COM9", "COM9"},
      {"COM12", "\\\\.\\COM12"},
      {"COM255", "\\\\.\\COM255"},
      {"COMXY", "\\\\.\\COMXY"},
      {"COM", "COM"},
      {"com12", "com12"},
      {"/dev/ttyUSB0", "/dev/ttyUSB0"},
      {"/dev/serial/by-id/usb-COM12", "/dev/serial/by-id/usb-COM12"},
  };
  for (const auto& c : cases) EXPECT_EQ(shownDevicePath(c.name), c.shown) << c.name;
}

// A port map, a sysfs tty class and a device folder, all in a temporary tree.
class PortTree : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::canonical(tmp.path());
    fs::create_directories(root / "map");
    fs::create_directories(root / "sys");
    fs::create_directories(root / "dev");
    env.mapDir = (root / "map").string();
    env.sysfsRoot = (root / "sys").string();
    env.devRoot = (root / "dev").string();
  }
  static void writeFile(const fs::path& path, const std::string& text) {
    std::ofstream(path) << text;
  }

  // A tty class entry and its device node. Without `deviceLink` it is a
  // virtual tty; `type` and `console` are written only when given.
  void addTty(const std::string& name, bool deviceLink = true,
              std::optional<std::string> type = std::nullopt,
              std::optional<std::string> console = std::nullopt) {
    const fs::path entry = root / "sys" / name;
    fs::create_directories(entry);
    if (deviceLink) fs::create_symlink("../../devices/platform/" + name, entry / "device");
    if (type) writeFile(entry / "type", *type + "\n");
    if (console) writeFile(entry / "console", *console + "\n");
    writeFile(root / "dev" / name, "");
  }

  void mapPort(const std::string& port, const fs::path& target) {
    fs::create_symlink(target, root / "map" / port);
  }

  // The device a port resolves to, relative to the tree; "" when it is absent.
  std::string resolved(const char* port) {
    std::string device;
    int err = resolvePort(port, env, &device);
    if (err != 0) {
      EXPECT_EQ(err, ENOENT) << port;
      return "";
    }
    return fs::path(device).lexically_relative(root).string();
  }

  TempDir tmp;
  fs::path root;
  PortEnvironment env;
};

TEST_F(PortTree, APathIsUsedAsItIs) {
  mapPort("COM1", root / "dev" / "elsewhere");
  std::string device;
  ASSERT_EQ(resolvePort("/dev/sercap-not-here", env, &device), 0);
  EXPECT_EQ(device, "/dev/sercap-not-here");
}

TEST_F(PortTree, MapLinksNameTheirDevices) {
  writeFile(root / "dev" / "ttyUSB9", "");
  writeFile(root / "dev" / "ttyXR0", "");
  mapPort("COM7", root / "dev" / "ttyUSB9");
  mapPort("COMLAB", root / "dev" / "ttyXR0");  // the map may hold any COM name
  EXPECT_EQ(resolved("COM7"), "dev/ttyUSB9");
  EXPECT_EQ(resolved("COMLAB"), "dev/ttyXR0");
  EXPECT_EQ(resolved("COM8"), "");
}

TEST_F(PortTree, ADanglingMapLinkIsAnAbsentPortThatKeepsItsNumber) {
  addTty("ttyS0", true, "4");
  mapPort("COM1", root / "dev" / "unplugged");
  EXPECT_EQ(resolved("COM1"), "");
  EXPECT_EQ(resolved("COM2"), "dev/ttyS0");
}

TEST_F(PortTree, AutomaticNumberingFollowsFamiliesThenNumbers) {
  addTty("ttyUSB10");
  addTty("ttyACM0");
  addTty("ttyS1", true, "0");       // a UART slot with no UART
  addTty("ttyS2", true, "4", "Y");  // the kernel's console
  addTty("ttyS0", true, "4", "N");
  addTty("ttyUSB2");
  addTty("ttyAMA0");  // another family with a device
  addTty("ttyS3");    // no type attribute: counts
  addTty("ttyUSB0");
  addTty("tty1", false);  // virtual consoles have no device
  addTty("ttyS4", false, "4");
  addTty("rfcomm0");  // not a tty* entry
  fs::create_directories(root / "sys" / "console");

  const struct {
    const char* port;
    const char* device;
  } cases[] = {
      {"COM1", "dev/ttyS0"},    {"COM2", "dev/ttyS3"},
      {"COM3", "dev/ttyUSB0"},  {"COM4", "dev/ttyUSB2"},
      {"COM5", "dev/ttyUSB10"}, {"COM6", "dev/ttyACM0"},
      {"COM7", "dev/ttyAMA0"},  {"COM8", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(resolved(c.port), c.device) << c.port;
}

TEST_F(PortTree, MappedNumbersAndDevicesAreLeftOutOfNumbering) {
  addTty("ttyS0", true, "4");
  addTty("ttyUSB0");
  addTty("ttyACM0");
  writeFile(root / "dev" / "bench-adapter", "");
  // Mapped through another link, as /dev/serial/by-id names are.
  fs::create_symlink("ttyUSB0", root / "dev" / "usb-by-id");
  mapPort("COM1", root / "dev" / "usb-by-id");
  mapPort("COM3", root / "dev" / "bench-adapter");

  const struct {
    const char* port;
    const char* device;
  } cases[] = {
      {"COM1", "dev/ttyUSB0"}, {"COM2", "dev/ttyS0"}, {"COM3", "dev/bench-adapter"},
      {"COM4", "dev/ttyACM0"}, {"COM5", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(resolved(c.port), c.device) << c.port;
}

TEST_F(PortTree, MappedDevicesAreRecognisedWhereverTheirNodesAreReached) {
  addTty("ttyUSB0");
  fs::create_directory_symlink("dev", root / "devices");
  env.devRoot = (root / "devices").string();
  mapPort("COM1", root / "dev" / "ttyUSB0");
  EXPECT_EQ(resolved("COM1"), "dev/ttyUSB0");
  EXPECT_EQ(resolved("COM2"), "");
}

TEST_F(PortTree, OnlyComOneToTwoHundredFiftyFiveAreNumbered) {
  for (int i = 0; i < 300; ++i) addTty("ttyUSB" + std::to_string(i));
  EXPECT_EQ(resolved("COM1"), "dev/ttyUSB0");
  EXPECT_EQ(resolved("COM11"), "dev/ttyUSB10");
  EXPECT_EQ(resolved("COM255"), "dev/ttyUSB254");
  for (const char* name : {"COM0", "COM256", "COM1000", "COMX", "COM", "COM01", "COM+1", "COM1 ",
                           "com1", "ttyUSB0", ""}) {
    EXPECT_EQ(resolved(name), "") << '"' << name << '"';
  }
}

TEST_F(PortTree, WithoutAMapNumberingStillWorks) {
  addTty("ttyS0", true, "4");
  env.mapDir.clear();
  EXPECT_EQ(resolved("COM1"), "dev/ttyS0");
  env.mapDir = (root / "no-such-folder").string();
  EXPECT_EQ(resolved("COM1"), "dev/ttyS0");
}

TEST_F(PortTree, ANameCannotLeadOutOfTheMap) {
  fs::create_directories(root / "map" / "COM1");
  writeFile(root / "map" / "COM1" / "x", "");
  EXPECT_EQ(resolved("COM1/x"), "");
}

// Sets or clears an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old;
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(PortEnvironmentTest, MapFolderComesFromTheConfigHome) {
  const struct {
    const char* xdgConfigHome;
    const char* home;
    const char* mapDir;
  } cases[] = {
      {"/cfg", "/home/ada", "/cfg/sercap/ports"},
      {"", "/home/ada", "/home/ada/.config/sercap/ports"},
      {nullptr, "/home/ada", "/home/ada/.config/sercap/ports"},
      {nullptr, nullptr, ""},
  };
  for (const auto& c : cases) {
    ScopedEnv xdg("XDG_CONFIG_HOME", c.xdgConfigHome);
    ScopedEnv home("HOME", c.home);
    PortEnvironment env = PortEnvironment::fromProcess();
    EXPECT_EQ(env.mapDir, c.mapDir);
    EXPECT_EQ(env.sysfsRoot, "/sys/class/tty");
    EXPECT_EQ(env.devRoot, "/dev");
  }
}

}  // namespace
