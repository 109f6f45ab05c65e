// sercap against the simulated device, sercap-sim.
#include "sercap_test.h"

namespace {

using SimulatorTest = SercapTest;

#ifdef SERCAP_SIM_BINARY
#else
TEST_F(SimulatorTest, CapturesASimulatedReport) {
  GTEST_SKIP() << "sercap-sim is not built";
}
#endif

}  // namespace
