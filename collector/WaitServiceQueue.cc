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

namespace {
// The heap's order: CompareService, then the microseconds. Services due in
// the same second then leave in the order they fell due, so a collector
// keeps its place in the burst that starts every second instead of taking
// a random one.
bool DueLater(const service& a, const service& b) {
  if (dueSecond(a) != dueSecond(b)) return dueSecond(a) > dueSecond(b);
  return a.next_exec_time.tv_usec > b.next_exec_time.tv_usec;
}
}  // namespace

WaitServiceQueue::WaitServiceQueue() { pthread_mutex_init(&mutex, nullptr); }

WaitServiceQueue::~WaitServiceQueue() { pthread_mutex_destroy(&mutex); }

void WaitServiceQueue::push(service record) {
  MutexLock lock(&mutex);
  heap.push_back(std::move(record));
  std::push_heap(heap.begin(), heap.end(), DueLater);
}

service WaitServiceQueue::front() {
  MutexLock lock(&mutex);
  return heap.empty() ? service() : heap.front();
}

service WaitServiceQueue::pop() {
  MutexLock lock(&mutex);
  if (heap.empty()) return service();
  std::pop_heap(heap.begin(), heap.end(), DueLater);
  service earliest = std::move(heap.back());
  heap.pop_back();
  return earliest;
}

bool WaitServiceQueue::popDue(int32_t now_seconds, service* out) {
  MutexLock lock(&mutex);
  if (heap.empty() || now_seconds < dueSecond(heap.front())) return false;
  std::pop_heap(heap.begin(), heap.end(), DueLater);
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
