// The one road of every run's result to the database: a bounded queue,
// filled by the workers in run order and emptied in batches by the writer.
#pragma once

#include <pthread.h>

#include <chrono>
#include <cstddef>
#include <deque>
#include <string>
#include <vector>

#include "mutexLock.h"

// One run's outcome, as the writer turns it into rows.
struct PendingResult {
  std::string tag;    // the worker's, for the log lines about it
  std::string id;     // collector id, decimal
  std::string label;  // name + " " + parameter, for log lines
  int state = 0;
  std::string output;
  std::chrono::steady_clock::time_point ended;  // end of the run
  // Set by the writer when the server refused that row: it is not sent again.
  bool skip_state = false;
  bool skip_data = false;
  size_t bytes() const {
    return sizeof(PendingResult) + tag.size() + id.size() + label.size() + output.size();
  }
};

// Thread-safe: every operation holds `mutex_` for its own duration only.
// Any number of producers (the workers); one consumer (the writer), which
// holds at most one batch "in flight" at a time.
class ResultQueue {
 public:
  ResultQueue() = default;
  ~ResultQueue() { pthread_mutex_destroy(&mutex_); }
  ResultQueue(const ResultQueue&) = delete;
  ResultQueue& operator=(const ResultQueue&) = delete;

  // Set once before any thread uses the queue.
  void setLimits(size_t count, size_t bytes);
  // Appends result. Past either limit the oldest queued entries are dropped
  // and counted, never the newest one.
  void push(PendingResult result);
  // Waits for an entry or the close; then moves the oldest entries (at most
  // max_count, and max_bytes past the first) into *batch, which is in flight
  // until finished or putBack. False when closed and empty.
  bool takeBatch(std::vector<PendingResult>* batch, size_t max_count, size_t max_bytes);
  // Returns *batch (emptied) to the front, in order; the limits apply again.
  void putBack(std::vector<PendingResult>* batch);
  // The batch in flight is written (or settled otherwise).
  void finished();
  // Queued and in flight.
  size_t waiting();
  // Entries dropped since the last call.
  size_t takeDropped();
  // No entry comes any more; the writer has until deadline to write them.
  void close(std::chrono::steady_clock::time_point deadline);
  bool pastDeadline();
  // Sleeps for timeout, less when close() is called meanwhile.
  void pause(std::chrono::milliseconds timeout);

 private:
  void trimLocked();  // requires mutex_

  // Guards every member below it.
  pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
  MonotonicCondition changed_;                      // notified with mutex_: push, putBack, close
  std::deque<PendingResult> items_;                 // guarded by mutex_
  size_t bytes_ = 0;                                // guarded by mutex_; of items_
  size_t in_flight_ = 0;                            // guarded by mutex_
  size_t count_limit_ = 0;                          // guarded by mutex_
  size_t bytes_limit_ = 0;                          // guarded by mutex_
  size_t dropped_ = 0;                              // guarded by mutex_
  bool closed_ = false;                             // guarded by mutex_
  std::chrono::steady_clock::time_point deadline_;  // guarded by mutex_
};
