// sercap against the simulated device, sercap-sim: a report played by
// another process, at the pace that process chooses.
#include <regex>
#include <thread>

#include "sercap_test.h"

namespace {

using std::chrono::seconds;

class SimulatorTest : public SercapTest {
 protected:
  // Starts sercap-sim with `args` in work(), with the same port map as
  // sercap's runs; returns it and the path of its terminal.
  std::unique_ptr<ProgramRun> startSimulator(const std::vector<std::string>& args,
                                             std::string* path) {
#ifdef SERCAP_SIM_BINARY
    auto sim = std::make_unique<ProgramRun>(SERCAP_SIM_BINARY, args, work().path(),
                                            ProgramRun::Environment{
                                                { "XDG_CONFIG_HOME",
                                                  config().path() }});
    *path = sim->waitForFirstLine(std::chrono::seconds(20));
    return sim;
#else
    (void)args;
    path->clear();
    return nullptr;
#endif
  }

  void SetUp() override {
#ifndef SERCAP_SIM_BINARY
    GTEST_SKIP() << "sercap-sim is not built";
#endif
  }

  // The simulator ends by itself after its hold time.
  void finishSimulator(ProgramRun& sim) {
    ProgramResult result = sim.wait(seconds(60));
    EXPECT_TRUE(result.finished);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
  }
};

TEST_F(SimulatorTest, CapturesTheSampleReportBetweenMarkers) {
  std::string path;
  auto sim = startSimulator({"--wait-rx", "--hold", "5", "--record", "received.bin"}, &path);
  ASSERT_EQ(path.rfind("/dev/", 0), 0u) << "no terminal path from sercap-sim: " << path;

  // The simulator plays once sercap's first transmission reaches it.
  auto run = start({portFor(path), "-mh", "-ntx", "1", "-t", "30", "-f", "out.spt"});
  ProgramResult result = finish(*run);
  finishSimulator(*sim);

  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "\n>>> kwo end\n\n");
  EXPECT_EQ(workFile("out.spt"), crlf("RESULT temperature 21.5 C: ok\n"
                                      "RESULT supply 3.30 V: ok\n"
                                      "RESULT memory test: ok\n"
                                      "kwo end\n"));
  EXPECT_EQ(workFile("received.bin"), "^");
}

TEST_F(SimulatorTest, PortPublishedInThePortMap) {
  SKIP_UNDER_WINE("the port map is Linux's; Windows names its ports itself");
  std::string path;
  auto sim = startSimulator(
      {"--link", "COM9", "--wait-rx", "--hold", "5", "--text", "via COM9\\n\\x1a\\n"}, &path);
  ASSERT_EQ(path.rfind("/dev/", 0), 0u) << "no terminal path from sercap-sim: " << path;

  auto run = start({"COM9", "-tx", "go", "-t", "30", "-f", "out.spt"});
  ProgramResult result = finish(*run);
  finishSimulator(*sim);

  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "\n");
  EXPECT_EQ(workFile("out.spt"), "via COM9\r\n");
}

TEST_F(SimulatorTest, DeviceHangingUpAfterItsReport) {
  std::string path;
  auto sim = startSimulator({"--wait-rx", "--hangup-after-play", "--text", "last words\\n"}, &path);
  ASSERT_EQ(path.rfind("/dev/", 0), 0u) << "no terminal path from sercap-sim: " << path;

  auto run = start({portFor(path), "-ntx", "1", "-t", "30", "-f", "out.spt"});
  ProgramResult result = finish(*run);
  finishSimulator(*sim);

  EXPECT_EQ(result.status, 32);
  EXPECT_EQ(result.out, "\n>>>WaitCommEvent error : " + std::to_string(hangUpError()) + "\n\n");
  EXPECT_EQ(workFile("out.spt"), "last words\r\n");
}

TEST_F(SimulatorTest, SlowDeviceWithPausesInsideLines) {
  // Paced at 200 bytes a second with a pause in the middle of a line: the
  // line is read whole once its line feed has come.
  std::string path;
  auto sim = startSimulator({"--wait-rx", "--rate", "200", "--text",
                             "first half \\p1000;second half\\n\\p1000;next line\\nkwo end\\n"},
                            &path);
  ASSERT_EQ(path.rfind("/dev/", 0), 0u) << "no terminal path from sercap-sim: " << path;

  auto run = start({portFor(path), "-ntx", "1", "-t", "6", "-f", "out.spt"});
  ProgramResult result = finish(*run);
  finishSimulator(*sim);

  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "\n>>> kwo end\n\n");
  EXPECT_EQ(workFile("out.spt"), "first half second half\r\nnext line\r\nkwo end\r\n");
}

// The board dialogue end to end: the autoboot countdown interrupted, the
// self-test run at the prompt, the run ended by the login prompt.
TEST_F(SimulatorTest, BoardDialogue) {
  std::string path;
  auto sim = startSimulator({"--board", "--hold", "0", "--record", "received.bin"}, &path);
  ASSERT_EQ(path.rfind("/dev/", 0), 0u) << "no terminal path from sercap-sim: " << path;

  auto run = start({portFor(path), "-t", "30", "-f", "out.spt", "--summary", "s.json", "--expect",
                    "Hit any key", "--send", " ", "--expect", "=> ", "--send", "run selftest\\n",
                    "--end-on", "login:"});
  ProgramResult result = finish(*run);
  finishSimulator(*sim);

  EXPECT_EQ(result.status, 0);
  // A "!" for each carriage return and backspace the filter drops.
  EXPECT_TRUE(std::regex_match(result.out, std::regex("!+\n"))) << result.out;
  const std::string file = workFile("out.spt");
  EXPECT_NE(file.find("\r\nHit any key to stop autoboot:  3 0\r\n=> run selftest\r\n"
                      "Running self-test ...\r\n"),
            std::string::npos)
      << file;
  EXPECT_NE(file.find("\r\nALL TESTS PASSED\r\n"), std::string::npos) << file;
  EXPECT_EQ(file.substr(file.size() - 17), "simboard login:\r\n");
  EXPECT_EQ(workFile("received.bin"), " run selftest\n");
  const std::string json = workFile("s.json");
  EXPECT_NE(json.find("\"end\": \"end-text\",\n  \"end_text\": \"login:\",\n"
                      "  \"expect\": {\"steps\": 2, \"matched\": 2},"),
            std::string::npos)
      << json;
}

}  // namespace
