#include "serial/pending_output.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// A line that takes at most `perCall` bytes a call, then nothing until the
// next sendSome(), and keeps what it took.
struct TrickleLine {
  size_t perCall;
  std::string taken;
  bool tookThisRound = false;
  PendingOutput::Send send() {
    tookThisRound = false;
    return [this](const uint8_t* data, size_t length) -> long {
      if (tookThisRound) return 0;
      tookThisRound = true;
      const size_t n = length < perCall ? length : perCall;
      taken.append(reinterpret_cast<const char*>(data), n);
      return static_cast<long>(n);
    };
  }
};

std::string pattern(size_t from, size_t length) {
  std::string text(length, '\0');
  for (size_t i = 0; i < length; ++i) text[i] = static_cast<char>((from + i) % 251);
  return text;
}

// A line slower than the text given to it: what went is not kept, so the
// text kept stays near what waits however much has gone, and the bytes go
// out whole and in order.
TEST(PendingOutput, KeepsOnlyAboutWhatWaitsWhileALineTakesALittleAtATime) {
  PendingOutput out;
  TrickleLine line{1000, {}, false};
  size_t given = 0;
  for (int round = 0; round < 2000; ++round) {
    const std::string text = pattern(given, 1500);  // more than the line takes
    out.append(text.data(), text.size());
    given += text.size();
    const size_t left = out.sendSome(line.send());
    ASSERT_EQ(left, out.unsent());
    ASSERT_EQ(left, given - line.taken.size());
    ASSERT_LE(out.held(), 2 * left) << "round " << round;
  }
  while (out.sendSome(line.send()) != 0) {
  }
  EXPECT_EQ(out.held(), 0u);
  EXPECT_EQ(line.taken, pattern(0, given));
}

TEST(PendingOutput, AFailedLineDropsWhatWaitsAndALineTakingNothingKeepsIt) {
  PendingOutput out;
  out.append("abcdef", 6);
  EXPECT_EQ(out.sendSome([](const uint8_t*, size_t) -> long { return 0; }), 6u);
  EXPECT_EQ(out.unsent(), 6u);

  std::string taken;
  auto failAfterTwo = [&taken](const uint8_t* data, size_t) -> long {
    if (!taken.empty()) return -1;
    taken.assign(reinterpret_cast<const char*>(data), 2);
    return 2;
  };
  EXPECT_EQ(out.sendSome(failAfterTwo), 0u);
  EXPECT_EQ(taken, "ab");
  EXPECT_EQ(out.held(), 0u);

  // Text given after the failure is the line's to try again.
  out.append("gh", 2);
  EXPECT_EQ(out.unsent(), 2u);
  out.drop();
  EXPECT_EQ(out.unsent(), 0u);
}

}  // namespace
