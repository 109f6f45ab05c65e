// Answers to prompts, on the supervisor's thread.
#include "control/prompt_answers.h"

PromptAnswers::PromptAnswers(const std::vector<DialogueSettings::Step>& steps,
                             const WorkerState& state, int logLevel, std::FILE* console)
    : steps_(steps), state_(state), logLevel_(logLevel), console_(console) {}

void PromptAnswers::sendDue(SerialLine& port) {
  const size_t matched = state_.stepsMatched.load();
  for (; answered_ < matched; ++answered_) {
    const size_t step = answered_ + 1;
    if (port.unsent() >= SerialLine::kTransmitBacklog) {
      if (logLevel_ >= 1) {
        std::fprintf(console_, "\n>>>send %zu skipped, %zu bytes still unsent\n", step,
                     port.unsent());
      }
      continue;
    }
    const std::string& data = steps_[answered_].send;
    port.transmit(data.data(), data.size());
    if (logLevel_ >= 1) std::fprintf(console_, "\n>>>sent %zu\n", step);
  }
}
