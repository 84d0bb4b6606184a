// The backlog of unwritten results: a bounded queue, oldest out first.
#include "resultBacklog.h"

#include "metrics.h"

void ResultBacklog::setCapacity(size_t capacity) {
  std::lock_guard<std::mutex> lock(mutex_);
  capacity_ = capacity;
}

void ResultBacklog::push(PendingResult result) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    result.sequence = next_sequence_++;
    items_.push_back(std::move(result));
    while (items_.size() > capacity_) {
      items_.pop_front();
      ++dropped_;
      metrics::addResultsDropped(1);
    }
  }
  filled_.notify_one();
}

bool ResultBacklog::empty() {
  std::lock_guard<std::mutex> lock(mutex_);
  return items_.empty();
}

size_t ResultBacklog::size() {
  std::lock_guard<std::mutex> lock(mutex_);
  return items_.size();
}

bool ResultBacklog::front(PendingResult* result) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (items_.empty()) return false;
  *result = items_.front();
  return true;
}

void ResultBacklog::popFront(uint64_t sequence) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!items_.empty() && items_.front().sequence == sequence) items_.pop_front();
}

size_t ResultBacklog::takeDropped() {
  std::lock_guard<std::mutex> lock(mutex_);
  const size_t dropped = dropped_;
  dropped_ = 0;
  return dropped;
}

bool ResultBacklog::waitForEntries(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return filled_.wait_for(lock, timeout, [this] { return !items_.empty(); });
}
