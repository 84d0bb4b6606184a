// Stop handling and log reopening. No work happens in a signal handler:
// SIGTERM and SIGHUP stay blocked in every thread and one thread takes them
// with sigwait, so the log lines and the wake-ups run as ordinary code.
#include "stopControl.h"

#include <signal.h>

#include <atomic>
#include <vector>

#include "globals.h"
#include "log.h"
#include "mutexLock.h"

namespace {

// SIGUSR1 ends the stop thread quietly, but only once main asked for it;
// sent by anyone else it is ignored.
const int kQuitSignal = SIGUSR1;
std::atomic<bool> stop_thread_quit{false};

// Guards no data: die_kova is atomic, the lock only orders its setting
// with the sleepers' check.
pthread_mutex_t stop_mutex = PTHREAD_MUTEX_INITIALIZER;
MonotonicCondition stop_wakeup;  // notified with stop_mutex when die_kova is set

sigset_t stopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  sigaddset(&set, kQuitSignal);
  return set;
}

// Runs until main ends it: the log must still be reopened while the
// workers finish their last runs after a stop. A second SIGTERM changes
// nothing.
void* stopThreadMain(void*) {
  const sigset_t set = stopSignals();
  bool stopped = false;
  for (;;) {
    int signal_number = 0;
    if (sigwait(&set, &signal_number) != 0) continue;
    if (signal_number == SIGTERM && !stopped) {
      stopped = true;
      HandlerQuit(signal_number);
    } else if (signal_number == SIGHUP) {
      // logrotate has moved the log away: go on in a file at the same path.
      reopenLogFile();
    } else if (signal_number == kQuitSignal && stop_thread_quit) {
      return nullptr;
    }
  }
}

std::vector<infoThread*> currentRecords() {
  MutexLock lock(&mutex_vec_core);
  return vec_core;
}

}  // namespace

void blockStopSignal() {
  const sigset_t set = stopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void stopStopThread(pthread_t thread) {
  stop_thread_quit = true;
  pthread_kill(thread, kQuitSignal);
  pthread_join(thread, nullptr);
}

bool startStopThread(pthread_t* thread) {
  return pthread_create(thread, nullptr, stopThreadMain, nullptr) == 0;
}

void requestStop() {
  {
    MutexLock lock(&stop_mutex);
    die_kova = 1;
  }
  stop_wakeup.notifyAll();
}

void stopWorkers() {
  requestStop();
  for (infoThread* record : currentRecords()) record->execute_queue->wakeAll();
}

void HandlerQuit(int) {
  write_log("INFO", "stop kova... SIGTERM");
  stopWorkers();
}

bool sleepUnlessStopped(std::chrono::milliseconds duration) {
  MutexLock lock(&stop_mutex);
  return stop_wakeup.waitFor(lock, duration, [] { return die_kova != 0; });
}
