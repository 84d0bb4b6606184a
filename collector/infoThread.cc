// infoThread: construction and the guarded load estimate.
#include "infoThread.h"

#include "mutexLock.h"

infoThread::infoThread(const std::string& conninfo, int connection_number)
    : wait_queue(std::make_unique<WaitServiceQueue>()),
      execute_queue(std::make_unique<ExecuteQueue<service>>()),
      thread_list(std::make_unique<std::vector<pthread_t>>()),
      pool(std::make_unique<pgConnectionPool>(conninfo, connection_number)),
      nbr_thread_active(0),
      estimated_load(0.0f) {
  pthread_mutex_init(&mutex_info, nullptr);
}

infoThread::~infoThread() { pthread_mutex_destroy(&mutex_info); }

void infoThread::addLoad(float load) {
  MutexLock lock(&mutex_info);
  estimated_load += load;
}

float infoThread::getLoad() {
  MutexLock lock(&mutex_info);
  return estimated_load;
}
