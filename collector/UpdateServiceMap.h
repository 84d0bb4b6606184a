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
  bool empty();
  int size();

 private:
  std::map<unsigned long long, service> map;  // guarded by mutex
  pthread_mutex_t mutex;
};
