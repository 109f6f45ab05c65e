#include "fake_com_port_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

#include "serial/network/telnet_codec.h"

using namespace telnet;

namespace {

// An option the client refuses: it answers each request for it.
constexpr uint8_t kEchoOption = 1;

void sendAll(int fd, const std::string& bytes) {
  size_t at = 0;
  while (at < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
    if (n <= 0) return;
    at += static_cast<size_t>(n);
  }
}

// Answers the client's requests as the server's behaviour says.
struct Responder : Decoder::Listener {
  FakeComPortServer::Behaviour behaviour;
  std::string reply;
  bool purged = false;  // the client's last setting, PURGE-DATA, was answered

  void negotiation(uint8_t verb, uint8_t option) override {
    if (verb == kWill && option == kOptionComPort) {
      reply += negotiationBytes(
          behaviour == FakeComPortServer::Behaviour::kRefusesOption ? kDont : kDo, option);
    } else if (verb == kWill) {
      reply += negotiationBytes(kDo, option);
    } else if (verb == kDo) {
      reply += negotiationBytes(kWill, option);
    }
  }
  void subnegotiation(uint8_t option, const uint8_t* payload, size_t length) override {
    if (option != kOptionComPort || length < 2 ||
        behaviour == FakeComPortServer::Behaviour::kSilent) {
      return;
    }
    if (payload[0] == comport::kSetBaudRate && length == 5 &&
        behaviour == FakeComPortServer::Behaviour::kOtherRate) {
      uint32_t rate = uint32_t{payload[1]} << 24 | payload[2] << 16 | payload[3] << 8 | payload[4];
      std::string answer = setBaudRateRequest(rate / 2);
      answer[3] = static_cast<char>(comport::kSetBaudRate + comport::kServerOffset);
      reply += answer;
      return;
    }
    reply += comPortRequest(payload[0] + comport::kServerOffset, payload + 1, length - 1);
    purged = purged || payload[0] == comport::kPurgeData;
  }
};

}  // namespace

FakeComPortServer::FakeComPortServer(Behaviour behaviour) : behaviour_(behaviour) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) ||
      ::listen(listener_, 4) ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) ||
      ::pipe(wake_) != 0 || ::pipe(resume_) != 0) {
    throw std::runtime_error("fake server cannot listen");
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { serve(); });
}

FakeComPortServer::~FakeComPortServer() {
  (void)!::write(wake_[1], "x", 1);
  thread_.join();
  ::close(listener_);
  ::close(wake_[0]);
  ::close(wake_[1]);
  ::close(resume_[0]);
  ::close(resume_[1]);
}

std::string FakeComPortServer::received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

std::string FakeComPortServer::data() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return data_;
}

void FakeComPortServer::resume() {
  (void)!::write(resume_[1], "r", 1);
}

void FakeComPortServer::record(const uint8_t* bytes, size_t length, const uint8_t* data,
                               size_t dataLength) {
  std::lock_guard<std::mutex> lock(mutex_);
  received_.append(reinterpret_cast<const char*>(bytes), length);
  data_.append(reinterpret_cast<const char*>(data), dataLength);
}

void FakeComPortServer::serve() {
  for (;;) {
    pollfd fds[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 || fds[1].revents != 0) return;
    int client = ::accept(listener_, nullptr, nullptr);
    if (client < 0) continue;
    answer(client);
    ::close(client);
  }
}

void FakeComPortServer::answer(int client) {
  Decoder decoder;
  Responder responder;
  responder.behaviour = behaviour_;
  bool resumed = false;
  for (;;) {
    pollfd fds[3] = {{client, POLLIN, 0}, {wake_[0], POLLIN, 0}, {resume_[0], POLLIN, 0}};
    if (::poll(fds, 3, -1) < 0 || fds[1].revents != 0) return;
    if (fds[2].revents != 0) {
      char drain;
      (void)!::read(resume_[0], &drain, 1);
      resumed = true;
      sendAll(client,
              comPortRequest(comport::kServerOffset + comport::kFlowControlResume, nullptr, 0));
    }
    if (fds[0].revents == 0) continue;
    uint8_t buffer[4096];
    ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
    if (n <= 0) return;
    uint8_t kept[4096];
    std::copy(buffer, buffer + n, kept);
    record(buffer, static_cast<size_t>(n), kept,
           decoder.decode(kept, static_cast<size_t>(n), responder));
    if (behaviour_ == Behaviour::kDataWithLastAnswer && responder.purged) {
      responder.reply += "first\n\x1a\n";
    }
    sendAll(client, responder.reply);
    responder.reply.clear();
    if (behaviour_ == Behaviour::kSuspends && resumed && !data().empty()) {
      sendAll(client, "\x1a\n");
    }
    if (!responder.purged) continue;
    responder.purged = false;
    switch (behaviour_) {
      case Behaviour::kAsksWithoutReading:
        askWithoutReading(client);
        break;
      case Behaviour::kFloodsRequests:
      case Behaviour::kFloodsSubnegotiation:
        flood(client);
        return;
      case Behaviour::kSuspends:
        sendAll(client,
                comPortRequest(comport::kServerOffset + comport::kFlowControlSuspend, nullptr, 0) +
                    "held\n");
        break;
      default:
        break;
    }
  }
}

bool FakeComPortServer::sendOrStop(int client, const std::string& bytes) {
  size_t at = 0;
  while (at < bytes.size()) {
    pollfd fds[2] = {{client, POLLOUT, 0}, {wake_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 || fds[1].revents != 0) return false;
    ssize_t n = ::send(client, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
    if (n <= 0) return false;
    at += static_cast<size_t>(n);
  }
  return true;
}

void FakeComPortServer::flood(int client) {
  if (!sendOrStop(client, "before\n")) return;
  std::string block;
  if (behaviour_ == Behaviour::kFloodsSubnegotiation) {
    if (!sendOrStop(client, std::string{static_cast<char>(kIac), static_cast<char>(kSb),
                                        static_cast<char>(kOptionComPort)})) {
      return;
    }
    block.assign(64 * 1024, 'x');
  } else {
    for (int i = 0; i < 20000; ++i) block += negotiationBytes(kWill, 99);
  }
  while (sendOrStop(client, block)) {
  }
}

void FakeComPortServer::askWithoutReading(int client) {
  std::string requests;
  for (int i = 0; i < 100000; ++i) requests += negotiationBytes(kDo, kEchoOption);
  for (size_t sent = 0; sent < (size_t{32} << 20); sent += requests.size()) {
    if (!sendOrStop(client, requests)) return;
  }
  sendOrStop(client, "done\n");
}
