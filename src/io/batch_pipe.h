// Batches handed from a producer on a second thread to the calling thread, in order, through a
// fixed ring of slots: memory stays bounded and nothing is allocated per batch. The producer
// fills the next free slot and publishes it; the consumer takes the oldest published one and
// gives it back when it is done with it, which frees the slot for the producer. A producer that
// found the ring full sleeps until half of it is free, so that a wake-up, which is dear on a
// loaded machine, buys several batches.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace tabulon {

template <class Batch>
class BatchPipe {
 public:
  explicit BatchPipe(size_t slots) : slots_(slots ? slots : 1) {}
  BatchPipe(const BatchPipe&) = delete;
  BatchPipe& operator=(const BatchPipe&) = delete;
  ~BatchPipe() { stop(); }

  // The slots, to be set up while no producer runs.
  size_t size() const { return slots_.size(); }
  Batch& slot(size_t k) { return slots_[k]; }

  // Runs producer() on a second thread. It fills batches with begin_fill / end_fill and returns
  // after its last batch, or when begin_fill gives null. It must not throw: whatever goes wrong
  // belongs in a batch, for the consumer to act on at its place in the order.
  template <class F>
  void start(F&& producer) {
    stop();
    published_ = taken_ = returned_ = 0;
    stopping_ = finished_ = false;
    thread_ = std::thread([this, f = std::forward<F>(producer)]() mutable {
      f();
      bool wake;
      {
        std::lock_guard<std::mutex> lock(mu_);
        finished_ = true;
        wake = consumer_waiting_;
      }
      if (wake) cv_full_.notify_one();
    });
  }

  // Asks the producer to stop at its next begin_fill and waits for it. Batches taken and not
  // given back are forgotten: every slot is free for the next start.
  void stop() {
    if (!thread_.joinable()) return;
    {
      std::lock_guard<std::mutex> lock(mu_);
      stopping_ = true;
    }
    cv_room_.notify_one();
    thread_.join();
  }

  bool running() const { return thread_.joinable(); }

  // ---- Producer ----

  // The next slot to fill, waiting while every slot is published and not given back yet; null
  // once stop() is asked.
  Batch* begin_fill() {
    std::unique_lock<std::mutex> lock(mu_);
    if (!stopping_ && published_ - returned_ >= slots_.size()) {
      producer_waiting_ = true;
      cv_room_.wait(lock, [this] { return stopping_ || room(); });
      producer_waiting_ = false;
    }
    if (stopping_) return nullptr;
    return &slots_[published_ % slots_.size()];
  }
  // Publishes the slot begin_fill gave.
  void end_fill() {
    bool wake;
    {
      std::lock_guard<std::mutex> lock(mu_);
      ++published_;
      wake = consumer_waiting_;
    }
    if (wake) cv_full_.notify_one();
  }

  // ---- Consumer ----

  // The oldest batch not taken yet, waiting for it; null when the producer has returned
  // without publishing another.
  Batch* take() {
    std::unique_lock<std::mutex> lock(mu_);
    if (taken_ == published_ && !finished_) {
      consumer_waiting_ = true;
      cv_full_.wait(lock, [this] { return taken_ < published_ || finished_; });
      consumer_waiting_ = false;
    }
    if (taken_ == published_) return nullptr;
    return &slots_[taken_++ % slots_.size()];
  }
  // Gives back the oldest batch taken and not given back yet.
  void give_back() {
    bool wake;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (returned_ < taken_) ++returned_;
      wake = producer_waiting_ && room();
    }
    if (wake) cv_room_.notify_one();
  }

 private:
  // A waiting producer goes on once at most half the slots are in use.
  bool room() const { return published_ - returned_ <= slots_.size() / 2; }

  std::vector<Batch> slots_;
  std::mutex mu_;
  std::condition_variable cv_room_;  // the producer waits here for free slots
  std::condition_variable cv_full_;  // the consumer waits here for a batch
  bool producer_waiting_ = false;
  bool consumer_waiting_ = false;
  uint64_t published_ = 0;  // batches the producer has filled
  uint64_t taken_ = 0;      // batches the consumer has taken
  uint64_t returned_ = 0;   // batches given back, whose slots are free again
  bool stopping_ = false;
  bool finished_ = false;   // the producer has returned
  std::thread thread_;
};

}  // namespace tabulon
