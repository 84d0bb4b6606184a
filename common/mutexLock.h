// The one lock type of the tree: pthread mutexes (the containers keep the C
// mutex types their callers wait on), a scoped lock over them, and a
// condition variable on the monotonic clock.
#pragma once

#include <pthread.h>
#include <time.h>

#include <chrono>

class MutexLock {
 public:
  explicit MutexLock(pthread_mutex_t* mutex) : mutex_(mutex) { pthread_mutex_lock(mutex_); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;
  ~MutexLock() { pthread_mutex_unlock(mutex_); }

  pthread_mutex_t* mutex() const { return mutex_; }

 private:
  pthread_mutex_t* mutex_;
};

// Timed waits run by the monotonic clock, so that setting the wall clock
// neither stretches nor cuts them short. Every wait is on the mutex held
// by the given lock.
class MonotonicCondition {
 public:
  MonotonicCondition() {
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&cond_, &attributes);
    pthread_condattr_destroy(&attributes);
  }
  MonotonicCondition(const MonotonicCondition&) = delete;
  MonotonicCondition& operator=(const MonotonicCondition&) = delete;
  ~MonotonicCondition() { pthread_cond_destroy(&cond_); }

  // Until done() holds.
  template <typename Done>
  void wait(MutexLock& lock, Done done) {
    while (!done()) pthread_cond_wait(&cond_, lock.mutex());
  }
  // Until done() holds or timeout has passed; returns done().
  template <typename Done>
  bool waitFor(MutexLock& lock, std::chrono::nanoseconds timeout, Done done) {
    struct timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    const long long end_ns =
        until.tv_sec * 1000000000LL + until.tv_nsec + static_cast<long long>(timeout.count());
    until.tv_sec = static_cast<time_t>(end_ns / 1000000000LL);
    until.tv_nsec = static_cast<long>(end_ns % 1000000000LL);
    while (!done())
      if (pthread_cond_timedwait(&cond_, lock.mutex(), &until) != 0) return done();
    return true;
  }
  void notifyAll() { pthread_cond_broadcast(&cond_); }

 private:
  pthread_cond_t cond_;
};
