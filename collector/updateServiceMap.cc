// UpdateServiceMap: one definition per collector id, under one mutex.
#include "updateServiceMap.h"

#include "mutexLock.h"

UpdateServiceMap::UpdateServiceMap() { pthread_mutex_init(&mutex, nullptr); }

UpdateServiceMap::~UpdateServiceMap() { pthread_mutex_destroy(&mutex); }

void UpdateServiceMap::addService(service record) {
  MutexLock lock(&mutex);
  const unsigned long long id = record.Service_id;
  map.insert_or_assign(id, std::move(record));
}

bool UpdateServiceMap::find(unsigned long long id) {
  MutexLock lock(&mutex);
  return map.count(id) != 0;
}

service UpdateServiceMap::getService(unsigned long long id) {
  MutexLock lock(&mutex);
  auto entry = map.find(id);
  if (entry == map.end()) return service();
  service record = std::move(entry->second);
  map.erase(entry);
  return record;
}

bool UpdateServiceMap::take(unsigned long long id, service* record) {
  MutexLock lock(&mutex);
  auto entry = map.find(id);
  if (entry == map.end()) return false;
  *record = std::move(entry->second);
  map.erase(entry);
  return true;
}

void UpdateServiceMap::discard(unsigned long long id) {
  MutexLock lock(&mutex);
  map.erase(id);
}

bool UpdateServiceMap::empty() {
  MutexLock lock(&mutex);
  return map.empty();
}

int UpdateServiceMap::size() {
  MutexLock lock(&mutex);
  return static_cast<int>(map.size());
}
