#include "capture/dialogue.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Kind = Dialogue::Event::Kind;

// An event with its place in the whole of what arrived.
struct Seen {
  Kind kind;
  size_t end;  // offset just past the text
  size_t index;
  bool operator==(const Seen&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Seen& s) {
  return out << (s.kind == Kind::kExpected ? "expected " : "end text ") << s.index << " at "
             << s.end;
}

// Runs the dialogue over `data` cut into pieces of `piece` bytes, as the
// worker does: up to an end text.
std::vector<Seen> run(const DialogueSettings& settings, const std::string& data, size_t piece) {
  Dialogue dialogue(settings);
  std::vector<Seen> seen;
  const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
  for (size_t start = 0; start < data.size(); start += piece) {
    size_t at = start;
    const size_t stop = std::min(data.size(), start + piece);
    for (;;) {
      const Dialogue::Event e = dialogue.next(bytes + at, stop - at);
      at += e.length;
      if (e.kind == Kind::kNone) break;
      seen.push_back({e.kind, at, e.index});
      if (e.kind == Kind::kEndText) return seen;
    }
  }
  return seen;
}

DialogueSettings board() {
  DialogueSettings s;
  s.steps = {{"Hit any key", " "}, {"=> ", "run selftest\n"}};
  s.endTexts = {"login:", "PASSED"};
  return s;
}

TEST(Dialogue, StepsInOrderAndTheEarliestEndTextHoweverTheBytesAreCut) {
  // The prompt seen before the key prompt does not count; the countdown's
  // backspaces stand between the texts; the login prompt has no line feed.
  const std::string data =
      "=> early\r\nHit any key to stop autoboot:  3\b\b\b  2\b\b\b  0\r\n=> run selftest\r\n"
      "selftest: ALL PASSED\r\nboot\r\nlogin: ";
  const size_t key = data.find("Hit any key") + 11;
  const size_t prompt = data.find("=> ", key) + 3;
  const size_t passed = data.find("PASSED") + 6;
  const std::vector<Seen> want = {
      {Kind::kExpected, key, 0}, {Kind::kExpected, prompt, 1}, {Kind::kEndText, passed, 1}};
  for (size_t piece = 1; piece <= data.size(); ++piece) {
    EXPECT_EQ(run(board(), data, piece), want) << "pieces of " << piece;
  }
}

TEST(Dialogue, AStepAndAnEndTextOnTheSameByteGiveTheStepFirst) {
  DialogueSettings s;
  s.steps = {{"ready>", "go\n"}};
  s.endTexts = {"y>"};
  const std::vector<Seen> want = {{Kind::kExpected, 8, 0}, {Kind::kEndText, 8, 0}};
  EXPECT_EQ(run(s, "a ready> b", 100), want);
  EXPECT_EQ(run(s, "a ready> b", 1), want);
}

TEST(Dialogue, AStepLeftUnmatchedAndNoEndTextGiveNoEvent) {
  DialogueSettings s;
  s.steps = {{"=> ", "x"}};
  EXPECT_TRUE(run(s, "=>\r\n= > =>", 1).empty());
  Dialogue dialogue(s);
  EXPECT_EQ(dialogue.stepsMatched(), 0u);
}

}  // namespace
