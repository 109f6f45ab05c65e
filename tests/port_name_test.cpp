// Port names as users type them: "COM" in any case, and on Windows with the
// colon of the system's own device names. Messages show the name as typed,
// without that colon.
#include "sercap_test.h"

namespace {

class PortNameTest : public SercapTest {
 protected:
  // A COM name in upper case for `device`: mapped on Linux, linked under Wine.
  std::string comName(const PtyDevice& device) {
    if (underWine()) return portFor(device.slavePath());
    publishPort(7, device.slavePath());
    return "COM7";
  }

  // Captures one line through `port` and checks that it reached the file.
  void capturesThrough(PtyDevice& device, const std::string& port) {
    auto run = start({port, "-ntx", "1", "-t", "30", "-f", "cap.spt"});
    ASSERT_TRUE(awaitTransmission(device, *run)) << port;
    ASSERT_TRUE(device.send("typed\n\x1a\n"));
    EXPECT_EQ(finish(*run).status, 0) << port;
    EXPECT_EQ(workFile("cap.spt"), "typed\r\n") << port;
    std::filesystem::remove(work().file("cap.spt"));
  }
};

TEST_F(PortNameTest, ComInAnyCaseOpensThePort) {
  PtyDevice device;
  const std::string upper = comName(device);
  const std::string number = upper.substr(3);
  capturesThrough(device, "com" + number);
  capturesThrough(device, "cOm" + number);
  if (underWine()) capturesThrough(device, upper + ":");
}

TEST_F(PortNameTest, MessagesShowTheNameAsTyped) {
  struct Case {
    const char* argument;
    const char* out;
    bool windowsOnly;
  } cases[] = {
      // No machine numbers 200 serial devices, and the port map is empty.
      {"com200",
       "\n>>>open com \\\\.\\com200 error : 2\n"
       "\ndefault is com200 -t 20 -f cap.spt -r 9600 , no parity(0), 1 stopBit(0)\n\n",
       false},
      {"COM200:",
       "\n>>>open com \\\\.\\COM200 error : 2\n"
       "\ndefault is COM200 -t 20 -f cap.spt -r 9600 , no parity(0), 1 stopBit(0)\n\n",
       true},
      {"Com20:",
       "\n>>>open com \\\\.\\Com20 error : 2\n"
       "\ndefault is Com20 -t 20 -f cap.spt -r 9600 , no parity(0), 1 stopBit(0)\n\n",
       true},
  };
  for (const Case& c : cases) {
    if (c.windowsOnly && !underWine()) continue;
    auto run = start({c.argument, "-f", "cap.spt"});
    ProgramResult result = finish(*run);
    EXPECT_EQ(result.status, 1) << c.argument;
    EXPECT_EQ(result.out, c.out) << c.argument;
  }
}

}  // namespace
