// WaitServiceQueue: heap operations under the queue's mutex.
#include "WaitServiceQueue.h"

#include <algorithm>

#include "mutexLock.h"

namespace {
int32_t dueSecond(const service& record) {
  return static_cast<int32_t>(record.next_exec_time.tv_sec);
}
}  // namespace

bool CompareService(const service& a, const service& b) { return dueSecond(a) > dueSecond(b); }

WaitServiceQueue::WaitServiceQueue() { pthread_mutex_init(&mutex, nullptr); }

WaitServiceQueue::~WaitServiceQueue() { pthread_mutex_destroy(&mutex); }

void WaitServiceQueue::push(service record) {
  MutexLock lock(&mutex);
  heap.push_back(std::move(record));
  std::push_heap(heap.begin(), heap.end(), CompareService);
}

service WaitServiceQueue::front() {
  MutexLock lock(&mutex);
  return heap.empty() ? service() : heap.front();
}

service WaitServiceQueue::pop() {
  MutexLock lock(&mutex);
  if (heap.empty()) return service();
  std::pop_heap(heap.begin(), heap.end(), CompareService);
  service earliest = std::move(heap.back());
  heap.pop_back();
  return earliest;
}

bool WaitServiceQueue::popDue(int32_t now_seconds, service* out) {
  MutexLock lock(&mutex);
  if (heap.empty() || now_seconds < dueSecond(heap.front())) return false;
  std::pop_heap(heap.begin(), heap.end(), CompareService);
  *out = std::move(heap.back());
  heap.pop_back();
  return true;
}

bool WaitServiceQueue::empty() {
  MutexLock lock(&mutex);
  return heap.empty();
}

uint32_t WaitServiceQueue::size() {
  MutexLock lock(&mutex);
  return static_cast<uint32_t>(heap.size());
}
