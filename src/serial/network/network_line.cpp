// The network line of network_line.h, over the platform's NetSocket.
#include "serial/network/network_line.h"

#include <thread>

#include "serial/network/network_address.h"

using Clock = std::chrono::steady_clock;

namespace {

int millisLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

void traceAnswers(ComPortSession& session, std::FILE* trace) {
  for (const telnet::ComPortAnswer& a : session.takeAnswers()) {
    if (trace != nullptr) {
      std::fprintf(trace, "\n>>>server answered command %d with %lu\n", a.command,
                   static_cast<unsigned long>(a.value));
    }
  }
}

}  // namespace

int NetworkLine::open(const std::string& argument) {
  close();
  forgetConnection();
  NetworkAddress address;
  int err = parseNetworkPort(argument, &address);
  if (err != 0) return err;
  rfc2217_ = address.rfc2217;
  const std::chrono::milliseconds limit = openedBefore_ ? kRetryConnectTimeout : kConnectTimeout;
  openedBefore_ = true;
  return socket_.connect(address.host, address.port, limit);
}

// A line opened again (after a lost connection) starts as a new one.
void NetworkLine::forgetConnection() {
  stopRequested_.store(false);
  suspended_.store(false);
  session_.reset();
  decoder_ = telnet::Decoder();
  queue_.clear();
  lineError_ = 0;
  out_.drop();
  sendError_.store(0);
}

LineFault NetworkLine::configure(const LineSettings& settings) {
  queue_.readByArrival(settings.readByArrival);
  if (!rfc2217_) return {};
  // SET-BAUDRATE 0 asks the server for its rate, and a negative one would
  // arrive as a huge one: refused as a local driver refuses it.
  if (settings.baudRate <= 0) return {LineStep::kSettings, kNotTakenError};
  return negotiate(settings);
}

LineFault NetworkLine::negotiate(const LineSettings& settings) {
  // A server that hangs up before the settings are in force serves another
  // client (ser2net says so in text and closes): the port is held.
  constexpr LineFault kHeld{LineStep::kOpen, kHeldError};
  session_ = std::make_unique<ComPortSession>(settings);
  auto deadline = Clock::now() + kAnswerTimeout;
  ComPortSession::Phase phase = session_->phase();
  for (;;) {
    if (sendWhole(session_->output(), deadline) != 0) return kHeld;
    session_->output().clear();
    traceAnswers(*session_, trace_);
    if (session_->phase() != phase) {
      phase = session_->phase();
      // The answers have a time of their own once the option is agreed.
      deadline = Clock::now() + kAnswerTimeout;
    }
    if (phase == ComPortSession::Phase::kReady) return {};
    if (phase == ComPortSession::Phase::kRefused || millisLeft(deadline) == 0) {
      if (trace_ != nullptr) {
        std::fprintf(trace_, "\n>>>%s\n",
                     phase == ComPortSession::Phase::kRefused
                         ? session_->refusal().c_str()
                         : "the server did not answer the line settings in time");
      }
      return {LineStep::kSettings, kNotTakenError};
    }
    int ready;
    if (socket_.wait(false, millisLeft(deadline), &ready) != 0) return kHeld;
    if ((ready & NetSocket::kReadable) == 0) continue;
    // Data that comes with the answers (the server's last answer and the
    // device's first line in one segment) is the run's: it is queued as any
    // later data is.
    size_t room;
    uint8_t* at = queue_.room(&room);
    if (room == 0) continue;  // a full queue waits for the worker; the answers may time out
    int err = 0;
    long n = socket_.receive(at, room, &err);
    if (n < 0) return kHeld;
    queue_.commit(decodeInto(at, static_cast<size_t>(n)));
  }
}

int NetworkLine::sendWhole(const std::string& bytes, Clock::time_point deadline) {
  size_t at = 0;
  while (at < bytes.size()) {
    int err = 0;
    long n =
        socket_.send(reinterpret_cast<const uint8_t*>(bytes.data()) + at, bytes.size() - at, &err);
    if (n < 0) return err;
    at += static_cast<size_t>(n);
    if (at < bytes.size()) {
      int ready;
      if (millisLeft(deadline) == 0) return ETIMEDOUT;
      socket_.wait(true, millisLeft(deadline), &ready);
    }
  }
  return 0;
}

int NetworkLine::awaitLine() {
  for (;;) {
    const bool stop = stopRequested_.load(std::memory_order_acquire);
    if (auto answer =
            answerWithoutWaiting(stop, socket_.isOpen(), kClosedStatus, queue_, lineError_)) {
      return *answer;
    }

    int ready;
    int err = socket_.wait(out_.unsent() != 0 && !suspended_.load(), -1, &ready);
    if (err != 0) return err;
    if (ready & NetSocket::kWritable) sendSome();
    if (ready & NetSocket::kReadable) takeIn();
  }
}

int NetworkLine::collect(size_t* queued) {
  if (socket_.isOpen() && lineError_ == 0) takeIn();
  *queued = queue_.size();
  return socket_.isOpen() ? 0 : kClosedStatus;
}

// Takes in what the connection holds, as far as the queue has room and up
// to kTakeInBudget, so that a flood never keeps the caller for long.
void NetworkLine::takeIn() {
  size_t budget = kTakeInBudget;
  while (lineError_ == 0 && budget != 0) {
    size_t room;
    uint8_t* at = queue_.room(&room);
    if (room == 0) return;
    long n = socket_.receive(at, room < budget ? room : budget, &lineError_);
    if (n <= 0) return;
    budget -= static_cast<size_t>(n);
    size_t kept = static_cast<size_t>(n);
    if (rfc2217_) {
      kept = decodeInto(at, kept);
      session_->takeAnswers();
      // A server that asks faster than it reads gets no more replies once
      // kReplyBacklog waits: the queue would grow for as long as it asked.
      if (!session_->output().empty() && out_.unsent() < kReplyBacklog) {
        queueOutput(session_->output());
      }
      session_->output().clear();
    }
    queue_.commit(kept);
  }
}

// Decodes received bytes in place, keeping the data; follows the server's
// flow control, shown in the trace as it changes.
size_t NetworkLine::decodeInto(uint8_t* bytes, size_t length) {
  const size_t kept = decoder_.decode(bytes, length, *session_);
  const bool suspended = session_->outputSuspended();
  if (suspended != suspended_.load()) {
    suspended_.store(suspended);
    if (trace_ != nullptr) {
      std::fprintf(trace_, suspended ? "\n>>>server suspended the output\n"
                                     : "\n>>>server resumed the output\n");
    }
    // Output held meanwhile goes on now.
    if (!suspended) sendSome();
  }
  return kept;
}

void NetworkLine::queueTransmission(const char* text, size_t length) {
  if (!socket_.isOpen() || length == 0) return;
  std::string escaped;
  const auto* bytes = reinterpret_cast<const uint8_t*>(text);
  if (rfc2217_) {
    telnet::appendEscaped(escaped, bytes, length);
  } else {
    escaped.assign(text, length);
  }
  queueOutput(escaped);
}

void NetworkLine::queueOutput(const std::string& bytes) {
  if (sendError_.load() != 0) return;
  out_.append(bytes.data(), bytes.size());
  sendSome();
  // What the connection cannot take now, the worker sends as it takes it.
  if (out_.unsent() != 0) socket_.wake();
}

void NetworkLine::sendSome() {
  if (suspended_.load()) return;
  out_.sendSome([this](const uint8_t* data, size_t length) {
    int error = 0;
    const long n = socket_.send(data, length, &error);
    if (n < 0) sendError_.store(error);
    return n;
  });
}

size_t NetworkLine::awaitSent(std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  const size_t before = out_.unsent();
  while (out_.unsent() != 0 && out_.unsent() >= before && millisLeft(deadline) > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return out_.unsent();
}

int NetworkLine::applySignal(LineSignal signal) {
  std::string request;
  if (!rfc2217_ || !comPortSignalRequest(signal, &request)) return kNotPossibleError;
  queueOutput(request);
  return sendError_.load();
}

void NetworkLine::stopWaiting() {
  stopRequested_.store(true, std::memory_order_release);
  socket_.wake();
}
