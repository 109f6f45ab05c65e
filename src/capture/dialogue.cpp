// The dialogue's search. Each end text is searched only up to the earliest
// event found so far, so every search stands exactly where the event is
// when the next piece starts right after it.
#include "capture/dialogue.h"

Dialogue::Dialogue(const DialogueSettings& settings) {
  for (const std::string& text : settings.endTexts) endTexts_.emplace_back(text);
  for (const DialogueSettings::Step& step : settings.steps) expected_.emplace_back(step.expect);
}

Dialogue::Event Dialogue::next(const uint8_t* data, size_t length) {
  using Kind = Event::Kind;
  if (endTextDue_) {
    Event due{Kind::kEndText, 0, *endTextDue_};
    endTextDue_.reset();
    return due;
  }
  Event expected{Kind::kNone, length, 0};
  if (step_ < expected_.size()) {
    const size_t at = expected_[step_].find(data, length);
    if (at != TextSearch::kNotFound) expected = {Kind::kExpected, at, step_};
  }
  std::optional<Event> ended;
  size_t limit = expected.length;
  for (size_t i = 0; i < endTexts_.size(); ++i) {
    const size_t at = endTexts_[i].find(data, limit);
    if (at == TextSearch::kNotFound) continue;
    ended = Event{Kind::kEndText, at, i};
    limit = at;
  }
  if (ended && (expected.kind == Kind::kNone || ended->length < expected.length)) return *ended;
  if (expected.kind == Kind::kExpected) {
    ++step_;
    if (ended) endTextDue_ = ended->index;
  }
  return expected;
}
