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
  return socket_.connect(address.host, address.port,
                         std::chrono::duration_cast<std::chrono::milliseconds>(kConnectTimeout));
}

// A line opened again (after a lost connection) starts as a new one.
void NetworkLine::forgetConnection() {
  stopRequested_.store(false);
  session_.reset();
  decoder_ = telnet::Decoder();
  queue_.clear();
  lineError_ = 0;
  std::lock_guard<std::mutex> lock(outMutex_);
  out_.clear();
  outSent_ = 0;
  outLeft_.store(0);
  sendError_ = 0;
}

LineFault NetworkLine::configure(const LineSettings& settings) {
  if (!rfc2217_) return {};
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
    uint8_t buffer[4096];
    int err = 0;
    long n = socket_.receive(buffer, sizeof buffer, &err);
    if (n < 0) return kHeld;
    // Data before the settings are in force is dropped, as emptying a local
    // port would.
    decoder_.decode(buffer, static_cast<size_t>(n), *session_);
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
    if (stopRequested_.load(std::memory_order_acquire)) return kWaitStopped;
    if (!socket_.isOpen()) return kClosedStatus;
    if (queue_.takeLineEvent()) return 0;
    // Once the connection is gone, what it delivered is handed on first,
    // also a last line without a line feed: nothing received is lost.
    if (lineError_ != 0) return queue_.size() > 0 ? 0 : lineError_;

    int ready;
    int err = socket_.wait(outLeft_.load() != 0, -1, &ready);
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

// Takes in what the connection holds, as far as the queue has room.
void NetworkLine::takeIn() {
  while (lineError_ == 0) {
    size_t room;
    uint8_t* at = queue_.room(&room);
    if (room == 0) return;
    long n = socket_.receive(at, room, &lineError_);
    if (n <= 0) return;
    size_t kept = static_cast<size_t>(n);
    if (rfc2217_) {
      kept = decoder_.decode(at, kept, *session_);
      session_->takeAnswers();
      // A server that asks faster than it reads gets no more replies once
      // kReplyBacklog waits: the queue would grow for as long as it asked.
      if (!session_->output().empty() && outLeft_.load() < kReplyBacklog) {
        queueOutput(session_->output());
      }
      session_->output().clear();
    }
    queue_.commit(kept);
  }
}

void NetworkLine::transmit(const char* text, size_t length) {
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
  {
    std::lock_guard<std::mutex> lock(outMutex_);
    if (sendError_ != 0) return;
    out_ += bytes;
    outLeft_.store(out_.size() - outSent_);
  }
  sendSome();
  // What the connection cannot take now, the worker sends as it takes it.
  if (outLeft_.load() != 0) socket_.wake();
}

void NetworkLine::sendSome() {
  std::lock_guard<std::mutex> lock(outMutex_);
  while (outSent_ < out_.size()) {
    long n = socket_.send(reinterpret_cast<const uint8_t*>(out_.data()) + outSent_,
                          out_.size() - outSent_, &sendError_);
    if (n < 0) {
      outSent_ = out_.size();  // the connection failed: nothing more goes out
      break;
    }
    if (n == 0) break;
    outSent_ += static_cast<size_t>(n);
  }
  if (outSent_ == out_.size()) {
    out_.clear();
    outSent_ = 0;
  }
  outLeft_.store(out_.size() - outSent_);
}

size_t NetworkLine::awaitSent(std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  const size_t before = outLeft_.load();
  while (outLeft_.load() != 0 && outLeft_.load() >= before && millisLeft(deadline) > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return outLeft_.load();
}

int NetworkLine::applySignal(int code) {
  std::string request;
  if (!rfc2217_ || !comPortSignalRequest(code, &request)) return kNotPossibleError;
  queueOutput(request);
  return sendError_;
}

void NetworkLine::stopWaiting() {
  stopRequested_.store(true, std::memory_order_release);
  socket_.wake();
}
