// Gauges whose truth is in the queues: counted when asked rather than kept
// in step with every push and pop.
#include "metricSources.h"

#include "globals.h"
#include "metrics.h"
#include "mutexLock.h"

namespace {

double collectorsScheduled() {
  double count = 0;
  MutexLock lock(&mutex_vec_core);
  for (infoThread* record : vec_core) {
    count += record->wait_queue->size() + record->execute_queue->size();
    MutexLock busy(&record->mutex_info);
    count += record->nbr_thread_active;
  }
  return count;
}

}  // namespace

void registerMetricSources() {
  metrics::setCollectorsSource(collectorsScheduled);
  metrics::setResultsWaitingSource([] { return static_cast<double>(resultQueue.waiting()); });
}
