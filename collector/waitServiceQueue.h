// Per core record: services waiting for their due second, earliest first.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <unordered_set>
#include <vector>

#include "service.h"

// True when a is due in a later whole second than b (microseconds ignored).
bool CompareService(const service& a, const service& b);

// A binary min-heap on the due second, then the microsecond, so that
// services due in one second leave in the order they fell due. Every
// operation takes the queue's own mutex for its duration only; records go
// in and out by copy.
class WaitServiceQueue {
 public:
  WaitServiceQueue();
  WaitServiceQueue(const WaitServiceQueue&) = delete;
  WaitServiceQueue& operator=(const WaitServiceQueue&) = delete;
  virtual ~WaitServiceQueue();

  // Wakes the release thread when the record is due before every other.
  void push(service record);
  // Copy of the earliest service; a default record when empty.
  service front();
  // Removes and returns the earliest service; a default record when empty.
  service pop();
  // The release thread's wait: sleeps until the start of the earliest
  // service's due second, waking early when a push brings an earlier one,
  // then moves that service into *out and returns true. Looking and
  // removing under one lock means the service removed is always the one
  // that was looked at, whatever other threads push meanwhile.
  // Returns false when `bound` has passed first or after wakeAll().
  bool waitForDue(service* out, std::chrono::milliseconds bound);
  // Ends every waitForDue, now and from now on (at the stop).
  void wakeAll();
  // Takes the services of these collectors out; returns their ids.
  std::vector<uint64_t> removeIds(const std::unordered_set<uint64_t>& ids);
  bool empty();
  uint32_t size();

 private:
  pthread_mutex_t mutex;      // guards heap, woken
  pthread_cond_t earlier;     // signalled with mutex when the earliest service changes
  std::vector<service> heap;  // guarded by mutex
  bool woken = false;         // guarded by mutex
};
