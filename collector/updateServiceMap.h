// New definitions of changed collectors, by collector id.
#pragma once

#include <pthread.h>

#include <map>

#include "service.h"

// Every operation takes the map's own mutex for its duration only.
class UpdateServiceMap {
 public:
  UpdateServiceMap();
  UpdateServiceMap(const UpdateServiceMap&) = delete;
  UpdateServiceMap& operator=(const UpdateServiceMap&) = delete;
  virtual ~UpdateServiceMap();

  // Stores a copy under Service_id; the latest definition wins.
  void addService(service record);
  bool find(unsigned long long id);
  // Copy of the entry for id, which is removed; a default record if absent.
  service getService(unsigned long long id);
  // Moves the entry for id into *record and removes it; false, leaving
  // *record alone, when there is none. One lock: an entry found is the
  // entry taken.
  bool take(unsigned long long id, service* record);
  // Removes the entry for id, if any.
  void discard(unsigned long long id);
  bool empty();
  int size();

 private:
  std::map<unsigned long long, service> map;  // guarded by mutex
  pthread_mutex_t mutex;                      // guards map
};
