// A device that goes away while it is sending: the run ends with the line
// failure, whatever step of reading noticed it, and what was read before is
// in the file.
#include <string>

#include "sercap_test.h"

namespace {

using LineFailureTest = SercapTest;

TEST_F(LineFailureTest, HangUpWhileLinesArriveEndsWithTheLineFailure) {
  PtyDevice device;
  auto run = startOnLine(device, {"-ntx", "1", "-t", "30", "-f", "out.spt"});
  ASSERT_NE(run, nullptr);
  std::string sent;
  for (int i = 0; i < 2000; ++i) sent += "line " + std::to_string(i) + " of a long report\n";
  // Gone in the middle of the flood, without waiting for sercap to take it.
  ASSERT_TRUE(device.send(sent.substr(0, sent.size() / 2)));
  device.hangUp();
  ProgramResult result = finish(*run);

  EXPECT_EQ(result.status, 32) << result.out;
  // Said whichever call noticed first: a read, the wait, the error query.
  EXPECT_NE(result.out.find("\n>>>WaitCommEvent error : "), std::string::npos) << result.out;
  const std::string kept = workFile("out.spt");
  // A read takes whatever is queued, so the last line may be cut short.
  EXPECT_EQ(crlf(sent).compare(0, kept.size(), kept), 0) << "the file holds what was sent";
}

}  // namespace
