// The dialogue with a board that speaks no end mark: the texts that end the
// run (--end-on) and the prompts to answer (--expect/--send pairs, in order),
// looked for in the bytes as they arrive from the device, before the filter,
// so that markers, -filteroff or timestamps change nothing. A text may be
// split across any number of reads, or across a reconnect: the search goes on
// where the last piece left it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "capture/text_search.h"

struct DialogueSettings {
  // The longest text looked for: a board's prompt or report line is far shorter.
  static constexpr size_t kMaxText = 4096;

  struct Step {
    std::string expect;  // not empty
    std::string send;    // may be empty
  };
  std::vector<std::string> endTexts;  // not empty each
  std::vector<Step> steps;

  bool enabled() const { return !endTexts.empty() || !steps.empty(); }
};

class Dialogue {
 public:
  struct Event {
    enum class Kind { kNone, kExpected, kEndText };
    Kind kind = Kind::kNone;
    // Bytes of the piece up to and including the text; all of it with kNone.
    size_t length = 0;
    // Which step's text (kExpected) or which end text (kEndText), from 0.
    size_t index = 0;
  };

  explicit Dialogue(const DialogueSettings& settings);

  // The first event in `data`, a piece of what arrived. The search takes the
  // bytes up to the event; the next call goes on with the bytes after it.
  // Only the current step's text is looked for, from where the step before
  // it matched; when a step's text and an end text end on the same byte, the
  // step comes first and the end text with the next call.
  Event next(const uint8_t* data, size_t length);

  size_t stepsMatched() const { return step_; }

 private:
  std::vector<TextSearch> endTexts_;
  std::vector<TextSearch> expected_;
  size_t step_ = 0;
  std::optional<size_t> endTextDue_;
};
