// Scoped lock over a pthread mutex (the containers keep the C mutex types
// their callers wait on).
#pragma once

#include <pthread.h>

class MutexLock {
 public:
  explicit MutexLock(pthread_mutex_t* mutex) : mutex_(mutex) { pthread_mutex_lock(mutex_); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;
  ~MutexLock() { pthread_mutex_unlock(mutex_); }

 private:
  pthread_mutex_t* mutex_;
};
