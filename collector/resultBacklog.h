// Results that could not be written because the database was unreachable,
// kept in run order until it answers again.
#pragma once

#include <sys/time.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

// One run's outcome, as updateService would have written it.
struct PendingResult {
  uint64_t sequence = 0;  // set by ResultBacklog::push
  std::string id;         // collector id, decimal
  std::string label;      // name + " " + parameter, for log lines
  int state = 0;
  std::string output;
  bool state_written = false;  // "UpdateState" already went through
  struct timeval ran_at = {0, 0};
};

// Thread-safe: every operation takes `mutex_` for its own duration only.
// Any number of producers (the workers); one consumer at a time (the replay
// thread, then main at the stop) takes entries from the front.
class ResultBacklog {
 public:
  ResultBacklog() = default;
  ResultBacklog(const ResultBacklog&) = delete;
  ResultBacklog& operator=(const ResultBacklog&) = delete;

  // Set once before any thread uses the backlog.
  void setCapacity(size_t capacity);
  // Appends result; past the capacity the oldest entry is dropped and
  // counted. Wakes a consumer waiting in waitForEntries.
  void push(PendingResult result);
  bool empty();
  size_t size();
  // Copies the oldest entry; false when there is none.
  bool front(PendingResult* result);
  // Removes the oldest entry if it is still the one with this sequence (a
  // push past the capacity may have dropped it meanwhile).
  void popFront(uint64_t sequence);
  // Entries dropped since the last call.
  size_t takeDropped();
  // Sleeps until an entry is there or timeout passes; true when not empty.
  bool waitForEntries(std::chrono::milliseconds timeout);

 private:
  std::mutex mutex_;
  std::condition_variable filled_;  // notified with mutex_ by push
  std::deque<PendingResult> items_;  // guarded by mutex_
  size_t capacity_ = 0;              // guarded by mutex_
  size_t dropped_ = 0;               // guarded by mutex_
  uint64_t next_sequence_ = 1;       // guarded by mutex_
};
