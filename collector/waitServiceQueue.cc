// WaitServiceQueue: heap operations under the queue's mutex.
#include "waitServiceQueue.h"

#include <sys/time.h>

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

WaitServiceQueue::WaitServiceQueue() {
  pthread_mutex_init(&mutex, nullptr);
  pthread_cond_init(&earlier, nullptr);
}

WaitServiceQueue::~WaitServiceQueue() {
  pthread_cond_destroy(&earlier);
  pthread_mutex_destroy(&mutex);
}

void WaitServiceQueue::push(service record) {
  MutexLock lock(&mutex);
  // Only a new earliest second changes when the release thread must wake;
  // a worker putting back a service due one interval later does not.
  const bool new_front = heap.empty() || dueSecond(record) < dueSecond(heap.front());
  heap.push_back(std::move(record));
  std::push_heap(heap.begin(), heap.end(), DueLater);
  if (new_front) pthread_cond_signal(&earlier);
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

bool WaitServiceQueue::waitForDue(service* out, std::chrono::milliseconds bound) {
  struct timeval now;
  gettimeofday(&now, nullptr);
  const long long bound_us = now.tv_sec * 1000000LL + now.tv_usec + bound.count() * 1000LL;
  MutexLock lock(&mutex);
  for (;;) {
    if (woken) return false;
    gettimeofday(&now, nullptr);
    const long long now_us = now.tv_sec * 1000000LL + now.tv_usec;
    if (!heap.empty() && static_cast<int32_t>(now.tv_sec) >= dueSecond(heap.front())) {
      std::pop_heap(heap.begin(), heap.end(), DueLater);
      *out = std::move(heap.back());
      heap.pop_back();
      return true;
    }
    if (now_us >= bound_us) return false;
    long long wake_us = bound_us;
    if (!heap.empty()) wake_us = std::min(wake_us, dueSecond(heap.front()) * 1000000LL);
    // The due times come from gettimeofday, and so does the condition
    // variable's default clock.
    const struct timespec until = {static_cast<time_t>(wake_us / 1000000),
                                   static_cast<long>(wake_us % 1000000) * 1000};
    pthread_cond_timedwait(&earlier, &mutex, &until);
  }
}

void WaitServiceQueue::wakeAll() {
  MutexLock lock(&mutex);
  woken = true;
  pthread_cond_broadcast(&earlier);
}

std::vector<uint64_t> WaitServiceQueue::removeIds(const std::unordered_set<uint64_t>& ids) {
  MutexLock lock(&mutex);
  std::vector<uint64_t> removed;
  auto kept = std::partition(heap.begin(), heap.end(), [&](const service& record) {
    return ids.count(record.Service_id) == 0;
  });
  for (auto it = kept; it != heap.end(); ++it) removed.push_back(it->Service_id);
  if (removed.empty()) return removed;
  heap.erase(kept, heap.end());
  std::make_heap(heap.begin(), heap.end(), DueLater);
  return removed;
}

bool WaitServiceQueue::empty() {
  MutexLock lock(&mutex);
  return heap.empty();
}

uint32_t WaitServiceQueue::size() {
  MutexLock lock(&mutex);
  return static_cast<uint32_t>(heap.size());
}
