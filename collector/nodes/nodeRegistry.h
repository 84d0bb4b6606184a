// The collectors this node schedules, and those it is handing over.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <unordered_map>
#include <unordered_set>
#include <vector>

// Thread-safe: every operation takes the registry's mutex for its duration
// only. A collector is held from the moment a loader claims it until its
// service has left this node's queues for good (row deleted, or handed
// over); held and released collectors are never loaded a second time.
class NodeRegistry {
 public:
  NodeRegistry();
  NodeRegistry(const NodeRegistry&) = delete;
  NodeRegistry& operator=(const NodeRegistry&) = delete;
  ~NodeRegistry();

  // Marks id held; false when it was held already.
  bool claim(uint64_t id);
  // A mark to pass to reconcile(): ids claimed after it are left alone.
  uint64_t stamp();
  bool holds(uint64_t id);
  // No longer held nor released.
  void forget(uint64_t id);

  // Brings the registry in line with the ids this node should run: owned
  // ids already held stay (a pending hand-over of theirs is cancelled),
  // owned ids not held are claimed and returned for loading, and held ids
  // not owned are marked released unless they were claimed after `since`
  // (loaded meanwhile from rows newer than those `owned` was made from).
  std::vector<uint64_t> reconcile(const std::unordered_set<uint64_t>& owned, uint64_t since);
  // Released ids still held somewhere in this node's queues.
  std::unordered_set<uint64_t> released();
  // True, and forgets id, when it was released: its service must go.
  bool dropIfReleased(uint64_t id);
  size_t heldCount();
  std::vector<uint64_t> heldIds();

 private:
  pthread_mutex_t mutex;                         // guards claims_, held_, released_
  uint64_t claims_ = 0;                          // guarded by mutex
  std::unordered_map<uint64_t, uint64_t> held_;  // id to its claim's stamp; guarded by mutex
  std::unordered_set<uint64_t> released_;        // guarded by mutex; a subset of held_
};
