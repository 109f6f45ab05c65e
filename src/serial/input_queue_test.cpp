#include "serial/input_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

namespace {

std::string takeAll(InputQueue& queue) {
  std::string out(queue.size(), '\0');
  out.resize(queue.take(reinterpret_cast<uint8_t*>(out.data()), out.size()));
  return out;
}

void appendText(InputQueue& queue, const std::string& text) {
  queue.append(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

void readInPlace(InputQueue& queue, const std::string& text) {
  size_t at = 0;
  while (at < text.size()) {
    size_t length;
    uint8_t* room = queue.room(&length);
    ASSERT_GT(length, 0u);
    size_t n = std::min(length, text.size() - at);
    std::memcpy(room, text.data() + at, n);
    queue.commit(n);
    at += n;
  }
}

// Both ways of filling the queue keep the bytes in order when the queue has
// to move what it holds to make room at its end.
TEST(InputQueue, KeepsOrderWhenItMakesRoom) {
  for (bool inPlace : {false, true}) {
    SCOPED_TRACE(inPlace ? "read in place" : "appended");
    auto queue = std::make_unique<InputQueue>();
    auto fill = [&](const std::string& text) {
      if (inPlace) {
        readInPlace(*queue, text);
      } else {
        appendText(*queue, text);
      }
    };
    const std::string first(InputQueue::kCapacity - 10, 'a');
    fill(first);
    uint8_t taken[100];
    ASSERT_EQ(queue->take(taken, sizeof taken), sizeof taken);  // room at the front only
    const std::string second = std::string(50, 'b') + "\n";
    fill(second);
    EXPECT_EQ(takeAll(*queue), first.substr(100) + second);
  }
}

TEST(InputQueue, LineFeedOrFullQueueIsOneLineEvent) {
  auto queue = std::make_unique<InputQueue>();
  appendText(*queue, "no line yet");
  EXPECT_FALSE(queue->takeLineEvent());
  appendText(*queue, "one\ntwo\n");
  EXPECT_TRUE(queue->takeLineEvent());
  EXPECT_FALSE(queue->takeLineEvent()) << "two line feeds gave two wake-ups";

  takeAll(*queue);
  appendText(*queue, std::string(InputQueue::kCapacity, 'x'));
  EXPECT_TRUE(queue->full());
  EXPECT_TRUE(queue->takeLineEvent());
  EXPECT_TRUE(queue->lineEventPending()) << "a full queue stays a line event until emptied";
  takeAll(*queue);
  EXPECT_FALSE(queue->lineEventPending());
}

// Read by arrival, a prompt without a line feed wakes the worker, and so
// does a byte still queued; bytes that enter while the worker takes what
// woke it make the next wait return at once, as a line feed does; clear()
// keeps the mode.
TEST(InputQueue, ReadByArrivalEveryByteIsALineEvent) {
  auto queue = std::make_unique<InputQueue>();
  queue->readByArrival(true);
  EXPECT_FALSE(queue->takeLineEvent());
  readInPlace(*queue, "login");
  EXPECT_TRUE(queue->takeLineEvent());
  EXPECT_TRUE(queue->takeLineEvent()) << "a byte still queued is still a line event";
  appendText(*queue, ": ");
  EXPECT_EQ(takeAll(*queue), "login: ");
  EXPECT_TRUE(queue->takeLineEvent()) << "bytes entered after the wake-up";
  EXPECT_FALSE(queue->takeLineEvent()) << "an emptied queue wakes nobody";
  queue->clear();
  appendText(*queue, "=> ");
  EXPECT_TRUE(queue->takeLineEvent());
}

}  // namespace
