#include "port_link.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;

TEST(PortLink, MapDirFollowsXdgThenHome) {
  struct Case {
    const char* xdg;
    const char* home;
    std::string expected;
  };
  const Case cases[] = {
      {"/x", "/h", "/x/sercap/ports"},
      {"", "/h", "/h/.config/sercap/ports"},
      {nullptr, "/h", "/h/.config/sercap/ports"},
      {nullptr, nullptr, ""},
      {"", "", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(portMapDir(c.xdg, c.home), c.expected);
}

class PortLinkFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/sercap-sim-link-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    dir_ = root_ + "/cfg/sercap/ports";
  }
  void TearDown() override { fs::remove_all(root_); }

  std::string linkTarget(const std::string& name) {
    std::error_code ec;
    return fs::read_symlink(dir_ + "/" + name, ec).string();
  }

  std::string root_;
  std::string dir_;
};

TEST_F(PortLinkFiles, CreatesFoldersReplacesAndRemoves) {
  std::string error;
  {
    PortLink first;
    ASSERT_TRUE(first.create(dir_, "COM7", "/dev/pts/old", &error)) << error;
    EXPECT_EQ(linkTarget("COM7"), "/dev/pts/old");

    PortLink second;
    ASSERT_TRUE(second.create(dir_, "COM7", "/dev/pts/new", &error)) << error;
    EXPECT_EQ(linkTarget("COM7"), "/dev/pts/new");

    // The first owner lost the name, so its removal leaves the new link.
    first.remove();
    EXPECT_EQ(linkTarget("COM7"), "/dev/pts/new");
  }
  EXPECT_FALSE(fs::is_symlink(fs::symlink_status(dir_ + "/COM7")));
  // No temporary names left behind.
  EXPECT_TRUE(fs::is_empty(dir_));
}

TEST_F(PortLinkFiles, FailsWhenTheFolderIsAFile) {
  ASSERT_EQ(::mkdir((root_ + "/cfg").c_str(), 0700), 0);
  std::FILE* f = std::fopen((root_ + "/cfg/sercap").c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  PortLink link;
  std::string error;
  EXPECT_FALSE(link.create(dir_, "COM7", "/dev/pts/1", &error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
