// FIFO of due services, with the condition variable its workers sleep on.
#pragma once

#include <pthread.h>

#include <deque>

#include "exceptions.h"
#include "mutexLock.h"

// push and pop lock `mutex` for their duration. Waiting is the caller's:
// lock `mutex`, wait on `cond` while `deque` is empty and no stop is
// requested, unlock, then pop() (which may still throw when another worker
// was faster).
template <typename T>
class ExecuteQueue {
 public:
  ExecuteQueue() {
    pthread_mutex_init(&mutex, nullptr);
    pthread_cond_init(&cond, nullptr);
  }
  ExecuteQueue(const ExecuteQueue&) = delete;
  ExecuteQueue& operator=(const ExecuteQueue&) = delete;
  virtual ~ExecuteQueue() {
    pthread_cond_destroy(&cond);
    pthread_mutex_destroy(&mutex);
  }

  // Appends a copy and wakes one waiter (signalled after the unlock).
  void push(T item) {
    {
      MutexLock lock(&mutex);
      deque.push_back(std::move(item));
    }
    pthread_cond_signal(&cond);
  }

  // Removes and returns the oldest item; throws EmptyQueueException("queue
  // is empty") when there is none.
  T pop() {
    MutexLock lock(&mutex);
    if (deque.empty()) throw EmptyQueueException("queue is empty");
    T item = std::move(deque.front());
    deque.pop_front();
    return item;
  }

  size_t size() {
    MutexLock lock(&mutex);
    return deque.size();
  }

  // Wakes every waiter; taken under the mutex so that a waiter between its
  // stop check and its wait cannot miss it.
  void wakeAll() {
    MutexLock lock(&mutex);
    pthread_cond_broadcast(&cond);
  }

  pthread_mutex_t mutex;  // guards deque
  pthread_cond_t cond;    // signalled on push, broadcast by wakeAll
  std::deque<T> deque;    // guarded by mutex
};
