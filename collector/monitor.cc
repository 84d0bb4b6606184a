// Monitoring thread: one whole report every half second.
#include "monitor.h"

#include <chrono>
#include <cstdio>
#include <sstream>

#include "fileUtil.h"
#include "globals.h"
#include "log.h"
#include "mutexLock.h"
#include "nodes/nodeMembership.h"
#include "stopControl.h"

namespace {

const char kOk6[] = "OK      ";
const char kOk8[] = "OK        ";
const char kOverload[] = "OVERLOAD";
const size_t kQueueLimit = 50;

void formatCore(std::ostringstream& out, size_t index, const CoreStatus& core) {
  // Busy when at most one worker is left idle.
  const bool threads_overloaded = core.active >= static_cast<long>(core.workers) - 1;
  const bool queue_overloaded = core.queued > kQueueLimit;
  out << "CORE " << index
      << "\t\t\t\tstatus: " << (threads_overloaded || queue_overloaded ? kOverload : kOk6) << "\n";
  out << "Estimated load: " << core.estimated_load << "\n";
  out << "Database connection: " << core.connections << "\n";
  out << "Thread active: " << core.active << " / " << core.workers
      << "\t\tstatus: " << (threads_overloaded ? kOverload : kOk8) << "\n";
  out << "Thread queue: " << core.queued
      << "\t\t\tStatus: " << (queue_overloaded ? kOverload : kOk8) << "\n";
  out << "Queue Size: " << core.waiting << "\n\n";
}

CoreStatus readCore(infoThread* record) {
  CoreStatus core;
  {
    MutexLock lock(&record->mutex_info);
    core.active = record->nbr_thread_active;
    core.estimated_load = record->estimated_load;
  }
  core.connections = record->pool->getConnectionNumber();
  {
    MutexLock lock(&mutex_vec_thread);
    core.workers = record->thread_list->size();
  }
  core.queued = record->execute_queue->size();
  core.waiting = record->wait_queue->size();
  return core;
}

}  // namespace

std::string formatStatusReport(const StatusSnapshot& snapshot) {
  std::ostringstream out;
  out << "CORE NUMBER: " << snapshot.core_number << "\n";
  out << "Delete queue: " << snapshot.delete_queue << "\n";
  out << "Update queue: " << snapshot.update_queue << "\n";
  out << "Database number of connection: " << snapshot.connections << "\n\n";
  long long total = 0;
  for (size_t i = 0; i < snapshot.cores.size(); ++i) {
    const CoreStatus& core = snapshot.cores[i];
    formatCore(out, i, core);
    total +=
        static_cast<long long>(core.waiting) + core.active + static_cast<long long>(core.queued);
  }
  out << "TOTAL SERVICE: " << total << "\n";
  return out.str();
}

StatusSnapshot readStatus() {
  StatusSnapshot snapshot;
  snapshot.core_number = collector_settings.core_number;
  snapshot.delete_queue = deleteService.size();
  snapshot.update_queue = serviceUpdate.size();
  snapshot.connections = pgSQL != nullptr ? pgSQL->getConnectionNumber() : 0;
  std::vector<infoThread*> records;
  {
    MutexLock lock(&mutex_vec_core);
    records = vec_core;
  }
  for (infoThread* record : records) snapshot.cores.push_back(readCore(record));
  return snapshot;
}

void* thread_monitoring(void*) {
  bool reported_failure = false;
  const std::string& status_file = collector_settings.file_info;
  while (die_kova == 0) {
    // No path configured: nothing to replace (and no stray ".tmp" in the
    // working directory). With several hosts, the node lines follow the
    // "TOTAL SERVICE: " line; the results not yet written come last.
    const std::string waiting = "RESULTS WAITING: " + std::to_string(resultQueue.waiting()) + "\n";
    const bool written =
        !status_file.empty() &&
        replaceFile(status_file, formatStatusReport(readStatus()) + nodeStatusLines() + waiting);
    if (!written && !reported_failure) {
      write_raw("ERROR can't open file " + status_file + "\n");
      Trace("th_monitoring#ERROR can't open file ");
      reported_failure = true;
    }
    if (sleepUnlessStopped(std::chrono::milliseconds(500))) break;
  }
  return nullptr;
}
