// The network line by itself, against the fake server: what a hostile server
// can make it hold.
#include "serial/network/network_line.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>

#include "fake_com_port_server.h"

namespace {

// The largest block this process asked for since the last reset: a buffer
// that keeps growing shows in it, whatever holds the buffer.
std::atomic<size_t> largestBlock{0};

void* allocate(size_t size) {
  size_t seen = largestBlock.load(std::memory_order_relaxed);
  while (size > seen && !largestBlock.compare_exchange_weak(seen, size)) {
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(size_t size) {
  return allocate(size);
}
void* operator new[](size_t size) {
  return allocate(size);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, size_t) noexcept {
  std::free(p);
}

namespace {

// A server that asks for an option without end and never reads must not make
// the line's replies pile up: they are dropped once some wait unsent, and the
// data after the requests still arrives.
TEST(NetworkLine, RepliesToAServerThatDoesNotReadStayBounded) {
  FakeComPortServer server(FakeComPortServer::Behaviour::kAsksWithoutReading);
  NetworkLine line;
  ASSERT_EQ(line.open(server.url()), 0);
  ASSERT_EQ(line.configure(LineSettings{}).step, LineStep::kNone);

  std::string received;
  while (received.find("done\n") == std::string::npos) {
    ASSERT_EQ(line.awaitLine(), 0);
    size_t queued = 0;
    ASSERT_EQ(line.collect(&queued), 0);
    std::string chunk(queued, '\0');
    chunk.resize(line.take(reinterpret_cast<uint8_t*>(chunk.data()), chunk.size()));
    received += chunk;
  }
  EXPECT_EQ(received, "done\n");
  // 32 MiB of requests would have left megabytes of replies waiting.
  EXPECT_LT(line.unsent(), size_t{1} << 20);
  line.close();
}

// A raw TCP server on 127.0.0.1 with a small window that reads steadily, a
// little each millisecond. It checks that what arrives is whole chunks of
// chunk(), each numbered higher than the one before.
class SlowReader {
 public:
  static constexpr size_t kChunk = 64 * 1024;
  // Chunk `number`: its number in the first four bytes, then bytes made of it.
  static std::string chunk(uint32_t number) {
    std::string text(kChunk, '\0');
    for (size_t i = 0; i < 4; ++i) text[i] = static_cast<char>(number >> (24 - 8 * i));
    for (size_t i = 4; i < kChunk; ++i) text[i] = static_cast<char>((number + i) % 251);
    return text;
  }

  SlowReader() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    const int window = 16 * 1024;
    if (listener_ < 0 ||
        ::setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &window, sizeof window) != 0 ||
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 1) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("slow reader cannot listen");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~SlowReader() {
    ::shutdown(listener_, SHUT_RDWR);
    thread_.join();
    ::close(listener_);
  }

  std::string url() const { return "tcp://127.0.0.1:" + std::to_string(port_); }
  // Whole chunks read so far, and whether each was right.
  size_t chunks() const { return chunks_.load(); }
  bool wholeAndInOrder() const { return inOrder_.load(); }

 private:
  void serve() {
    int client = ::accept(listener_, nullptr, nullptr);
    if (client < 0) return;
    std::string pending;
    int64_t last = -1;
    char block[16 * 1024];
    for (;;) {
      ssize_t n = ::recv(client, block, sizeof block, 0);
      if (n <= 0) break;
      pending.append(block, static_cast<size_t>(n));
      while (pending.size() >= kChunk) {
        uint32_t number = 0;
        for (size_t i = 0; i < 4; ++i) number = number << 8 | static_cast<uint8_t>(pending[i]);
        if (static_cast<int64_t>(number) <= last ||
            pending.compare(0, kChunk, chunk(number)) != 0) {
          inOrder_.store(false);
        }
        last = number;
        pending.erase(0, kChunk);
        chunks_.fetch_add(1);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!pending.empty()) inOrder_.store(false);
    ::close(client);
  }

  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::atomic<size_t> chunks_{0};
  std::atomic<bool> inOrder_{true};
};

// A server that reads steadily but slower than the line is given text. What
// waits unsent stays within the backlog a local port keeps (text given
// beyond it is skipped whole), and what went out is dropped as it goes, so
// the line never holds more than about that, however much it sent. What is
// sent arrives whole and in order.
TEST(NetworkLine, OutputHeldStaysBoundedWhileAServerReadsSlowly) {
  constexpr size_t kBacklog = SerialLine::kTransmitBacklog;
  SlowReader server;
  NetworkLine line;
  ASSERT_EQ(line.open(server.url()), 0);
  ASSERT_EQ(line.configure(LineSettings{}).step, LineStep::kNone);
  // The worker's wait sends what the connection takes.
  std::thread worker([&line] {
    while (line.awaitLine() == 0) {
    }
  });

  largestBlock.store(0);
  size_t mostUnsent = 0;
  for (uint32_t number = 0; server.chunks() < 200; ++number) {
    const std::string text = SlowReader::chunk(number);
    line.transmit(text.data(), text.size());
    mostUnsent = std::max(mostUnsent, line.unsent());
    if (number % 16 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const size_t largest = largestBlock.load();
  line.stopWaiting();
  worker.join();
  line.close();

  EXPECT_LT(mostUnsent, kBacklog + SlowReader::kChunk);
  EXPECT_LT(largest, 4 * kBacklog);
  EXPECT_TRUE(server.wholeAndInOrder());
}

}  // namespace
