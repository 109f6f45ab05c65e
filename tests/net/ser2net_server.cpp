#include "ser2net_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace {

// Whether 127.0.0.1:`port` is in the listening state. Read from the kernel's
// table rather than by connecting, as a connection would make ser2net open
// the device.
bool listening(int port) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  char wanted[32];
  std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
  while (std::getline(table, line)) {
    // "sl local rem st ...": state 0A is LISTEN.
    if (line.find(wanted) != std::string::npos && line.find(" 0A ") != std::string::npos) {
      return true;
    }
  }
  return false;
}

}  // namespace

int freeLocalPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("no free local port");
  }
  ::close(fd);
  return ntohs(address.sin_port);
}

std::string Ser2net::binary() {
  for (const char* path : {"/usr/sbin/ser2net", "/usr/bin/ser2net", "/usr/local/sbin/ser2net"}) {
    if (::access(path, X_OK) == 0) return path;
  }
  return "";
}

Ser2net::Ser2net(const std::string& device) : device_(device) {
  rfc2217Port_ = freeLocalPort();
  do {
    tcpPort_ = freeLocalPort();
  } while (tcpPort_ == rfc2217Port_);
  start();
}

void Ser2net::restart() {
  stop();
  start();
}

void Ser2net::start() {
  const std::string config = dir_.file("ser2net.yaml");
  std::ofstream(config) << "connection: &rfc2217\n"
                        << "  accepter: telnet(rfc2217),tcp,127.0.0.1," << rfc2217Port_ << "\n"
                        << "  connector: serialdev," << device_ << ",9600n81,local\n"
                        << "connection: &raw\n"
                        << "  accepter: tcp,127.0.0.1," << tcpPort_ << "\n"
                        << "  connector: serialdev," << device_ << ",9600n81,local\n";
  // -n: foreground; -u: no UUCP lock files; -P: a pid file of its own.
  run_ = std::make_unique<ProgramRun>(
      binary(), std::vector<std::string>{"-n", "-u", "-c", config, "-P", dir_.file("pid")},
      dir_.path());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!(listening(rfc2217Port_) && listening(tcpPort_))) {
    if (!run_->running() || std::chrono::steady_clock::now() > deadline) {
      throw std::runtime_error("ser2net does not listen: " + run_->outputSoFar());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

Ser2net::~Ser2net() {
  stop();
}

void Ser2net::stop() {
  if (!run_) return;
  run_->signal(SIGTERM);
  run_->wait(std::chrono::seconds(10));
  run_.reset();
}
