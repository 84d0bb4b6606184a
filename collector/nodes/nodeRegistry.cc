// NodeRegistry: two id sets under one mutex.
#include "nodeRegistry.h"

#include "mutexLock.h"

NodeRegistry::NodeRegistry() { pthread_mutex_init(&mutex, nullptr); }

NodeRegistry::~NodeRegistry() { pthread_mutex_destroy(&mutex); }

bool NodeRegistry::claim(uint64_t id) {
  MutexLock lock(&mutex);
  return held_.emplace(id, ++claims_).second;
}

uint64_t NodeRegistry::stamp() {
  MutexLock lock(&mutex);
  return claims_;
}

bool NodeRegistry::holds(uint64_t id) {
  MutexLock lock(&mutex);
  return held_.count(id) > 0;
}

void NodeRegistry::forget(uint64_t id) {
  MutexLock lock(&mutex);
  held_.erase(id);
  released_.erase(id);
}

std::vector<uint64_t> NodeRegistry::reconcile(const std::unordered_set<uint64_t>& owned,
                                              uint64_t since) {
  MutexLock lock(&mutex);
  std::vector<uint64_t> to_load;
  for (uint64_t id : owned) {
    if (held_.emplace(id, ++claims_).second) {
      to_load.push_back(id);
    } else {
      released_.erase(id);
    }
  }
  for (const auto& [id, claimed] : held_)
    if (owned.count(id) == 0 && claimed <= since) released_.insert(id);
  return to_load;
}

std::unordered_set<uint64_t> NodeRegistry::released() {
  MutexLock lock(&mutex);
  return released_;
}

bool NodeRegistry::dropIfReleased(uint64_t id) {
  MutexLock lock(&mutex);
  if (released_.erase(id) == 0) return false;
  held_.erase(id);
  return true;
}

size_t NodeRegistry::heldCount() {
  MutexLock lock(&mutex);
  return held_.size();
}

std::vector<uint64_t> NodeRegistry::heldIds() {
  MutexLock lock(&mutex);
  std::vector<uint64_t> ids;
  ids.reserve(held_.size());
  for (const auto& entry : held_) ids.push_back(entry.first);
  return ids;
}
