// The worker cycle. No lock is held while a plugin runs; a result is handed
// to the writer, never waited for; each queue locks itself inside each
// operation.
#include "worker.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "globals.h"
#include "log.h"
#include "metrics.h"
#include "mutexLock.h"
#include "nodes/nodeMembership.h"
#include "pluginDirs.h"
#include "resultWriter.h"
#include "stopControl.h"

namespace {

const int kAttempts = 3;

// Sleeps until the queue has work or the stop is requested.
void waitForWork(infoThread* core) {
  ExecuteQueue<service>& queue = *core->execute_queue;
  MutexLock lock(&queue.mutex);
  while (queue.deque.empty() && die_kova == 0) pthread_cond_wait(&queue.cond, &queue.mutex);
}

void changeActive(infoThread* core, int delta) {
  MutexLock lock(&core->mutex_info);
  core->nbr_thread_active += delta;
}

// True when the service was dropped for deletion.
bool dropIfDeleted(const std::string& tag, service& record) {
  if (!serviceDeleteList.find(record.Service_id)) return false;
  Trace(tag + "# suppression du service");
  serviceDeleteList.erase(record.Service_id);
  deleteService.push(record);
  Trace(tag + "# suppression du service reussi");
  return true;
}

// Up to three attempts; each failure is logged and followed by one second
// (cut short by the stop, which also ends the attempts). A run stopped at
// its time limit or past its output cap returns normally and is recorded
// once.
int runWithRetries(service& record) {
  if (!pluginAllowed(record.plugin_path, collector_settings.plugin_dirs, &record.exec_path)) {
    // Nothing is started: the database named a program outside the
    // directories this host runs plugins from.
    record.state = 2;
    record.output = "DAEMON: plugin not allowed: " + record.plugin_path;
    metrics::countNotAllowed();
    return 2;
  }
  record.timeout_s = collector_settings.plugin_timeout;
  record.output_max = collector_settings.plugin_output_max;
  std::string failure;  // the last attempt's, when a system call failed
  for (int attempt = 1; attempt <= kAttempts; ++attempt) {
    try {
      const metrics::ScopedTimer timer(metrics::observeRunDuration);
      return record.execute();
    } catch (const serviceException& error) {
      const bool did_not_run = dynamic_cast<const runFailedException*>(&error) != nullptr;
      failure = did_not_run ? error.what() : "";
      write_log("ERR", "Excute failed retry" + record.name + " " +
                           std::to_string(record.Service_id) + " " + error.what());
      if (sleepUnlessStopped(std::chrono::seconds(1))) break;
    }
  }
  // A run that never started (or whose end is unknown) is a failure, never
  // the state the collector had before.
  record.state = 3;
  record.output = failure.empty() ? std::string(kSilentPluginText) : failure;
  return 3;
}

void runCycle(const std::string& tag, infoThread* core) {
  Trace(tag + "# prise du service");
  service record = core->execute_queue->pop();
  Trace(tag + "# prise du reussi");
  if (!nodeMayRun()) {
    // Cut off from the database: back to wait, released again once the
    // lease is renewed.
    core->wait_queue->push(std::move(record));
    return;
  }
  if (dropIfDeleted(tag, record)) return;
  metrics::observeStartDelay(record.next_exec_time);
  const int old_state = record.state;
  const int interval = record.interval_exec_time;
  serviceUpdate.take(record.Service_id, &record);
  const std::string label = tag + "#" + record.name + " " + record.parameter;
  Trace(label + " Execution du script =>old state:" + std::to_string(old_state));
  const int code = runWithRetries(record);
  metrics::countRun(record);
  Trace(label + " ==> code retour" + std::to_string(code));
  submitResult(tag, record);
  Trace(label + "Update state OK ");
  Trace(tag + "#Calcul de la prochaine execution");
  struct timeval now;
  gettimeofday(&now, nullptr);
  record.next_exec_time = addMilliseconds(now, interval);
  Trace(tag + "#remise dans la pq " + record.name + " " + record.parameter);
  const std::string done =
      tag + "#remise dans la pq success" + record.name + " " + record.parameter;
  core->wait_queue->push(std::move(record));
  Trace(done);
}

void leave(const std::string& tag, infoThread* core) {
  const pthread_t self = pthread_self();
  MutexLock lock(&mutex_vec_thread);
  std::vector<pthread_t>& list = *core->thread_list;
  auto mine = std::find_if(list.begin(), list.end(),
                           [self](pthread_t id) { return pthread_equal(id, self); });
  if (mine != list.end()) list.erase(mine);
  write_raw("\tfin thread: " + tag + " nbr:" + std::to_string(list.size()) + " " + tag + "\n");
  pthread_cond_signal(&cond_vec_thread);
}

}  // namespace

struct timeval addMilliseconds(struct timeval now, int interval_ms) {
  now.tv_sec += interval_ms / 1000;
  now.tv_usec += static_cast<long>(interval_ms % 1000) * 1000;
  if (now.tv_usec >= 1000000) {
    now.tv_sec += 1;
    now.tv_usec -= 1000000;
  }
  return now;
}

void* thread_execute_plugin(void* arg) {
  infoThread* core = static_cast<infoThread*>(arg);
  const std::string tag = std::to_string(static_cast<unsigned long long>(pthread_self()));
  while (die_kova == 0) {
    waitForWork(core);
    Trace(tag + "# Réveille ");
    if (die_kova != 0) break;
    changeActive(core, 1);
    try {
      runCycle(tag, core);
    } catch (const EmptyQueueException&) {
      // Another worker of this record took the service first.
    }
    changeActive(core, -1);
  }
  leave(tag, core);
  return nullptr;
}
