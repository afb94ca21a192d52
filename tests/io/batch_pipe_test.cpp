// Batches cross from the producer thread in order, at most the ring's worth at a time, and a
// stop ends a producer that waits for room as well as one that has finished.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "io/batch_pipe.h"

using namespace tabulon;

namespace {

struct Batch {
  std::vector<int64_t> values;
  bool last = false;
};

// Numbers 0..total-1 in batches of up to `per` each.
void produce(BatchPipe<Batch>& pipe, int64_t total, size_t per, std::atomic<int64_t>& ahead,
             const std::atomic<int64_t>& consumed) {
  int64_t next = 0;
  for (;;) {
    Batch* b = pipe.begin_fill();
    if (!b) return;
    // No more batches are filled than the ring holds beyond what the consumer gave back.
    const int64_t in_flight = next - consumed.load();
    if (in_flight > ahead.load()) ahead = in_flight;
    b->values.clear();
    while (b->values.size() < per && next < total) b->values.push_back(next++);
    b->last = next == total;
    pipe.end_fill();
    if (b->last) return;
  }
}

TEST(BatchPipe, DeliversEveryValueInOrderWithinTheRing) {
  for (size_t slots : {1, 2, 3}) {
    for (int64_t total : {0, 1, 7, 1000}) {
      BatchPipe<Batch> pipe(slots);
      std::atomic<int64_t> ahead{0}, consumed{0};
      constexpr size_t kPer = 7;
      pipe.start([&] { produce(pipe, total, kPer, ahead, consumed); });
      int64_t expect = 0;
      for (;;) {
        Batch* b = pipe.take();
        ASSERT_NE(b, nullptr);
        for (int64_t v : b->values) EXPECT_EQ(v, expect++);
        const bool last = b->last;
        consumed += static_cast<int64_t>(b->values.size());
        pipe.give_back();
        if (last) break;
      }
      EXPECT_EQ(expect, total);
      // Nothing follows the last batch: the consumer learns that the producer has returned.
      EXPECT_EQ(pipe.take(), nullptr);
      pipe.stop();
      EXPECT_FALSE(pipe.running());
      // When a slot is handed out, the values of the others are all that is not consumed yet.
      EXPECT_LE(ahead.load(), static_cast<int64_t>((slots - 1) * kPer)) << slots << " slots";
    }
  }
}

TEST(BatchPipe, StopEndsAProducerWaitingForRoomAndStartsAgainFromEmpty) {
  BatchPipe<Batch> pipe(2);
  std::atomic<int64_t> ahead{0}, consumed{0};
  // An endless producer: it waits for room once the two slots are published.
  pipe.start([&] { produce(pipe, INT64_MAX, 3, ahead, consumed); });
  Batch* b = pipe.take();
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->values, (std::vector<int64_t>{0, 1, 2}));
  pipe.stop();  // with a batch taken and not given back
  EXPECT_FALSE(pipe.running());
  // A new run starts with every slot free and the count from its own beginning.
  pipe.start([&] { produce(pipe, 5, 3, ahead, consumed); });
  b = pipe.take();
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->values, (std::vector<int64_t>{0, 1, 2}));
  pipe.give_back();
  b = pipe.take();
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->values, (std::vector<int64_t>{3, 4}));
  EXPECT_TRUE(b->last);
  pipe.give_back();
  // Destroying a pipe with a running producer stops it too.
  BatchPipe<Batch> other(1);
  other.start([&] { produce(other, INT64_MAX, 1, ahead, consumed); });
}

}  // namespace
