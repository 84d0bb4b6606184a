// The result queue: bounded by count and by bytes, oldest out first.
#include "resultQueue.h"

#include "metrics.h"

void ResultQueue::setLimits(size_t count, size_t bytes) {
  MutexLock lock(&mutex_);
  count_limit_ = count;
  bytes_limit_ = bytes;
}

void ResultQueue::trimLocked() {
  while (items_.size() > 1 && (items_.size() > count_limit_ || bytes_ > bytes_limit_)) {
    bytes_ -= items_.front().bytes();
    items_.pop_front();
    ++dropped_;
    metrics::addResultsDropped(1);
  }
}

void ResultQueue::push(PendingResult result) {
  {
    MutexLock lock(&mutex_);
    bytes_ += result.bytes();
    items_.push_back(std::move(result));
    trimLocked();
  }
  changed_.notifyAll();
}

bool ResultQueue::takeBatch(std::vector<PendingResult>* batch, size_t max_count, size_t max_bytes) {
  MutexLock lock(&mutex_);
  changed_.wait(lock, [this] { return !items_.empty() || closed_; });
  size_t taken_bytes = 0;
  while (!items_.empty() && batch->size() < max_count &&
         (batch->empty() || taken_bytes + items_.front().bytes() <= max_bytes)) {
    taken_bytes += items_.front().bytes();
    bytes_ -= items_.front().bytes();
    batch->push_back(std::move(items_.front()));
    items_.pop_front();
  }
  in_flight_ = batch->size();
  return !batch->empty();
}

void ResultQueue::putBack(std::vector<PendingResult>* batch) {
  {
    MutexLock lock(&mutex_);
    for (auto entry = batch->rbegin(); entry != batch->rend(); ++entry) {
      bytes_ += entry->bytes();
      items_.push_front(std::move(*entry));
    }
    in_flight_ = 0;
    trimLocked();
  }
  batch->clear();
  changed_.notifyAll();
}

void ResultQueue::finished() {
  MutexLock lock(&mutex_);
  in_flight_ = 0;
}

size_t ResultQueue::waiting() {
  MutexLock lock(&mutex_);
  return items_.size() + in_flight_;
}

size_t ResultQueue::takeDropped() {
  MutexLock lock(&mutex_);
  const size_t dropped = dropped_;
  dropped_ = 0;
  return dropped;
}

void ResultQueue::close(std::chrono::steady_clock::time_point deadline) {
  {
    MutexLock lock(&mutex_);
    closed_ = true;
    deadline_ = deadline;
  }
  changed_.notifyAll();
}

bool ResultQueue::pastDeadline() {
  MutexLock lock(&mutex_);
  return closed_ && std::chrono::steady_clock::now() >= deadline_;
}

void ResultQueue::pause(std::chrono::milliseconds timeout) {
  MutexLock lock(&mutex_);
  const bool was_closed = closed_;
  changed_.waitFor(lock, timeout, [&] { return closed_ != was_closed; });
}
