// Per core record: services waiting for their due second, earliest first.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <cstdint>
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

  void push(service record);
  // Copy of the earliest service; a default record when empty.
  service front();
  // Removes and returns the earliest service; a default record when empty.
  service pop();
  // One locked step for the release thread: when the earliest service's due
  // second is at or before now_seconds, moves it into *out and returns true.
  // Looking and removing under one lock means the service removed is always
  // the one that was looked at, whatever other threads push meanwhile.
  bool popDue(int32_t now_seconds, service* out);
  bool empty();
  uint32_t size();

 private:
  pthread_mutex_t mutex;
  std::vector<service> heap;  // guarded by mutex
};
