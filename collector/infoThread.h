// The core record: one group of workers with its queues and its own pool.
#pragma once

#include <pthread.h>

#include <memory>
#include <string>
#include <vector>

#include "executeQueue.h"
#include "pgConnectionPool.h"
#include "service.h"
#include "waitServiceQueue.h"

// Created by main before any of its threads start and destroyed after all
// of them have been joined; the record owns its queues and pool.
struct infoThread {
  // Opens the record's pool; throws PostgresqlException.
  infoThread(const std::string& conninfo, int connection_number);
  infoThread(const infoThread&) = delete;
  infoThread& operator=(const infoThread&) = delete;
  ~infoThread();

  // Both under mutex_info.
  void addLoad(float load);
  float getLoad();

  std::unique_ptr<WaitServiceQueue> wait_queue;
  std::unique_ptr<ExecuteQueue<service>> execute_queue;
  std::unique_ptr<std::vector<pthread_t>> thread_list;  // guarded by mutex_vec_thread
  pthread_mutex_t mutex_info;                           // guards nbr_thread_active, estimated_load
  std::unique_ptr<pgConnectionPool> pool;
  int nbr_thread_active;  // guarded by mutex_info
  float estimated_load;   // guarded by mutex_info
};
