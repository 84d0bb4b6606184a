// The daemon's metrics, kept in fixed counters so that a scrape costs the
// same at 10 or 100 000 collectors: no label ever holds a collector, a
// plugin path or a parameter.
//
// Thread safety: every function may be called from any thread at any time,
// before or after the server runs. Counters and histograms are atomics (a
// worker pays a few relaxed increments per run, never a lock); the node
// list and the value sources are guarded by a mutex taken only by their
// setters and by render().
#pragma once

#include <sys/time.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <string>

#include "service.h"

namespace metrics {

// One recorded run: kova_runs_total by its state, and the time-out and
// output-cap counters when the runner stopped it for either.
void countRun(const service& record);
void countNotAllowed();
void observeRunDuration(double seconds);
// From the time the collector was due to now, when its run starts.
void observeStartDelay(const struct timeval& due);

// The result path: results waiting for the database, results given up,
// one write's duration, and whether the last write reached the database.
void setResultsWaiting(size_t waiting);
void addResultsDropped(size_t dropped);
void observeResultWrite(double seconds);
void setDatabaseUp(bool up);

// A value read at each scrape (on the server's thread) instead of set:
// the function must be cheap, thread-safe and valid until the daemon ends.
// An empty function clears the source.
void setCollectorsSource(std::function<double()> source);
void setResultsWaitingSource(std::function<double()> source);

enum class Change { add, update, remove };
void countChanges(Change kind, size_t count);

// The live state of every node by name (several-hosts mode); replaces the
// previous list. Any list of records with `name` and `live` will do.
void setNodes(std::map<std::string, bool> live_by_name);
template <class Nodes>
void setNodesFrom(const Nodes& nodes) {
  std::map<std::string, bool> live;
  for (const auto& node : nodes) live[node.name] = node.live;
  setNodes(std::move(live));
}

// Observes the time from its construction to its destruction.
class ScopedTimer {
 public:
  explicit ScopedTimer(void (*observe)(double)) : observe_(observe) {}
  ScopedTimer(const ScopedTimer&) = delete;
  ScopedTimer& operator=(const ScopedTimer&) = delete;
  ~ScopedTimer();

 private:
  void (*observe_)(double);
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// Every metric in the text exposition format 0.0.4, process metrics
// included.
std::string render();

}  // namespace metrics
