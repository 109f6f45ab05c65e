// The start text that sercap transmits to the device once a second.
#include <thread>

#include "sercap_test.h"

namespace {

using std::chrono::duration;
using std::chrono::seconds;

struct TransmissionCase {
  const char* name;
  std::vector<std::string> args;
  std::string received;  // everything the device gets in the run
};

void PrintTo(const TransmissionCase& c, std::ostream* os) {
  *os << c.name;
}

class TransmissionTest : public SercapTest,
                         public ::testing::WithParamInterface<TransmissionCase> {};

TEST_P(TransmissionTest, DeviceReceivesTheTextOncePerSecond) {
  const TransmissionCase& c = GetParam();
  PtyDevice device;
  std::vector<std::string> args = {port(device), "-f", "out.spt"};
  args.insert(args.end(), c.args.begin(), c.args.end());
  auto run = start(args);

  // The run times out by itself; listen until well after its end.
  std::vector<PtyDevice::Arrival> arrivals = device.receiveTimed(seconds(1));
  while (run->running() && ProgramRun::Clock::now() - run->startedAt() < seconds(30)) {
    auto more = device.receiveTimed(seconds(1));
    arrivals.insert(arrivals.end(), more.begin(), more.end());
  }
  auto rest = device.receiveTimed(seconds(1));
  arrivals.insert(arrivals.end(), rest.begin(), rest.end());
  ProgramResult result = finish(*run);

  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "\n");
  std::string received;
  for (const auto& arrival : arrivals) received += arrival.byte;
  EXPECT_EQ(received, c.received);
  if (received != c.received || received.empty()) return;

  // One transmission a second: the n-th never before about n seconds after the
  // start (a machine that holds sercap up only makes it later, and a pass
  // held up is followed by one on time, so two may come close together),
  // and none long after the one before. A transmission of several bytes may
  // arrive in pieces close together.
  std::string text = "^";
  for (size_t i = 0; i + 1 < c.args.size(); ++i) {
    if (c.args[i] == "-tx") text = c.args[i + 1];
  }
  std::vector<double> starts;
  for (size_t i = 0; i < arrivals.size(); i += text.size()) {
    starts.push_back(duration<double>(arrivals[i].at - run->startedAt()).count());
  }
  for (size_t i = 0; i < starts.size(); ++i) {
    EXPECT_GE(starts[i], i + 0.95) << "transmission " << i << " too early";
    if (i > 0) {
      EXPECT_LE(starts[i] - starts[i - 1], 2.5) << "transmission " << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, TransmissionTest,
    ::testing::Values(
        TransmissionCase{"ThreeCarets", {"-ntx", "3", "-t", "4"}, "^^^"},
        TransmissionCase{"ThreeCaretsWithoutOverlap", {"-ntx", "3", "-t", "4", "-nov"}, "^^^"},
        TransmissionCase{"TextTwice", {"-tx", "AB", "-ntx", "2", "-t", "3"}, "ABAB"},
        TransmissionCase{
            "TextTwiceWithoutOverlap", {"-tx", "AB", "-ntx", "2", "-t", "3", "-nov"}, "ABAB"},
        // -tx alone sends once.
        TransmissionCase{"TextOnce", {"-tx", "hello", "-t", "2"}, "hello"},
        // A negative count sends on every pass until the run ends.
        TransmissionCase{"UntilTheEnd", {"-ntx", "-1", "-t", "3"}, "^^^"},
        TransmissionCase{"Never", {"-t", "2"}, ""}),
    [](const auto& info) { return std::string(info.param.name); });

class StalledTransmissionTest : public SercapTest,
                                public ::testing::WithParamInterface<const char*> {};

TEST_P(StalledTransmissionTest, DeviceThatTakesNothingDoesNotHoldUpTheRun) {
  // Far more than the line can hold, every second, and the device never
  // reads: a waiting write must give up rather than hang the supervisor.
  // A Windows command line holds at most 32,767 characters.
  const std::string text(underWine() ? 30000 : 100000, 'T');
  PtyDevice device;
  std::vector<std::string> args = {port(device), "-tx", text, "-ntx",   "-1",
                                   "-t",         "3",   "-f", "out.spt"};
  if (std::string(GetParam()) == "WithoutOverlap") args.push_back("-nov");
  auto run = start(args);
  ProgramResult result = finish(*run, seconds(30));
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "\n");
  EXPECT_LE(result.seconds, 15.0);
}

INSTANTIATE_TEST_SUITE_P(Modes, StalledTransmissionTest,
                         ::testing::Values("Overlapped", "WithoutOverlap"));

using TransmissionBacklogTest = SercapTest;

TEST_F(TransmissionBacklogTest, TransmissionIsSkippedNotQueuedWhileAMebibyteWaits) {
  SKIP_UNDER_WINE(
      "a Windows command line holds at most 32,767 characters: 1 MiB of "
      "transmissions would take over half a minute");
  // Twelve transmissions of 128,000 bytes, one a second, while the device
  // takes nothing: once 1 MiB of them waits, the rest are skipped. The ninth
  // is the first that takes the backlog past 1 MiB (the pseudo-terminal
  // itself holds far less than one transmission), so 9 arrive, or 10 with
  // a larger terminal buffer; queued ones would make 12.
  constexpr size_t kMebibyte = size_t{1} << 20;
  const std::string text = "<" + std::string(127998, 'T') + ">";
  PtyDevice device;
  auto run = start({port(device), "-tx", text, "-ntx", "12", "-t", "60", "-f", "out.spt"});
  std::this_thread::sleep_for(seconds(16));
  const std::string received = device.receiveUntilQuiet(std::chrono::milliseconds(2000));
  ASSERT_TRUE(device.send("\x1a\n"));
  ProgramResult result = finish(*run);

  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "\n");
  const size_t copies = received.size() / text.size();
  std::string whole;
  for (size_t i = 0; i < copies; ++i) whole += text;
  EXPECT_TRUE(received == whole) << "a transmission was cut: " << received.size() << " bytes";
  EXPECT_GE(copies, kMebibyte / text.size() + 1) << "transmissions under 1 MiB were skipped";
  EXPECT_LE(copies, kMebibyte / text.size() + 2) << "transmissions were queued beyond 1 MiB";
}

}  // namespace
