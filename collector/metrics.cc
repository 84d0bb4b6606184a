// The metrics and their text form. Histogram buckets are counted apart and
// summed at render time, so that a bucket, +Inf and _count of one scrape
// always agree even while workers observe.
#include "metrics.h"

#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "mutexLock.h"

#ifndef KOVA_VERSION
#define KOVA_VERSION "unknown"
#endif

namespace metrics {
namespace {

using Counter = std::atomic<unsigned long long>;

void add(Counter& counter, unsigned long long n = 1) {
  counter.fetch_add(n, std::memory_order_relaxed);
}

std::string number(double value) {
  char text[32];
  snprintf(text, sizeof text, "%.15g", value);
  return text;
}

class Histogram {
 public:
  explicit Histogram(std::vector<double> bounds)
      : bounds_(std::move(bounds)), counts_(bounds_.size() + 1) {}

  void observe(double value) {
    size_t i = 0;
    while (i < bounds_.size() && value > bounds_[i]) ++i;
    add(counts_[i]);
    sum_.fetch_add(value, std::memory_order_relaxed);
  }

  void render(std::ostringstream& out, const std::string& name) const {
    unsigned long long cumulative = 0;
    for (size_t i = 0; i <= bounds_.size(); ++i) {
      cumulative += counts_[i].load(std::memory_order_relaxed);
      char bound[32];
      snprintf(bound, sizeof bound, "%g", i < bounds_.size() ? bounds_[i] : 0.0);
      out << name << "_bucket{le=\"" << (i < bounds_.size() ? bound : "+Inf") << "\"} "
          << cumulative << "\n";
    }
    out << name << "_sum " << number(sum_.load(std::memory_order_relaxed)) << "\n"
        << name << "_count " << cumulative << "\n";
  }

 private:
  const std::vector<double> bounds_;
  std::vector<Counter> counts_;  // the last one: above every bound
  std::atomic<double> sum_{0};
};

// Plugin runs last from milliseconds to the time limit; a start delay of a
// healthy scheduler stays under a few milliseconds; a write under one.
Histogram run_duration({0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60, 120, 300});
Histogram start_delay({0.001, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60,
                       300});
Histogram result_write({0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5,
                        10});

std::array<Counter, 4> runs;  // by state 0..3; others are not recorded states
Counter timeouts, output_capped, not_allowed, results_dropped;
std::array<Counter, 3> changes;  // by Change
std::atomic<double> results_waiting{0};
std::atomic<int> database_up{1};

// Guards the four below.
pthread_mutex_t sources_mutex = PTHREAD_MUTEX_INITIALIZER;
std::function<double()> collectors_source;       // guarded by sources_mutex
std::function<double()> results_waiting_source;  // guarded by sources_mutex
bool nodes_set = false;                          // guarded by sources_mutex
std::map<std::string, bool> nodes;               // guarded by sources_mutex

const char kOutputCapped[] = "DAEMON: plugin output exceeds ";

void header(std::ostringstream& out, const char* name, const char* type, const char* help) {
  out << "# HELP " << name << " " << help << "\n# TYPE " << name << " " << type << "\n";
}

void single(std::ostringstream& out, const char* name, const char* type, const char* help,
            double value) {
  header(out, name, type, help);
  out << name << " " << number(value) << "\n";
}

std::string escapeLabel(const std::string& value) {
  std::string text;
  for (char c : value) {
    if (c == '\\' || c == '"') text += '\\';
    text += c == '\n' ? std::string("\\n") : std::string(1, c);
  }
  return text;
}

void renderRuns(std::ostringstream& out) {
  header(out, "kova_runs_total", "counter", "Plugin runs recorded, by state.");
  for (size_t state = 0; state < runs.size(); ++state)
    out << "kova_runs_total{state=\"" << state << "\"} " << runs[state].load() << "\n";
  single(out, "kova_run_timeouts_total", "counter", "Plugin runs stopped at their time limit.",
         timeouts.load());
  single(out, "kova_run_output_capped_total", "counter",
         "Plugin runs stopped past their output cap.", output_capped.load());
  single(out, "kova_run_not_allowed_total", "counter",
         "Plugins refused: outside the allowed directories.", not_allowed.load());
  header(out, "kova_run_duration_seconds", "histogram", "Plugin run time.");
  run_duration.render(out, "kova_run_duration_seconds");
  header(out, "kova_start_delay_seconds", "histogram",
         "Time from a collector's due time to the start of its run.");
  start_delay.render(out, "kova_start_delay_seconds");
}

void renderResults(std::ostringstream& out, double waiting) {
  single(out, "kova_results_waiting", "gauge", "Results not yet written to the database.", waiting);
  single(out, "kova_results_dropped_total", "counter",
         "Results given up while the database could not take them.", results_dropped.load());
  header(out, "kova_result_write_seconds", "histogram",
         "Time one write of results to the database took.");
  result_write.render(out, "kova_result_write_seconds");
  single(out, "kova_database_up", "gauge", "1 when the last write reached the database, else 0.",
         database_up.load());
}

void renderChanges(std::ostringstream& out, double collectors) {
  single(out, "kova_collectors", "gauge", "Collectors this daemon runs.", collectors);
  header(out, "kova_changes_applied_total", "counter", "Collector changes applied, by kind.");
  const char* kinds[] = {"add", "update", "delete"};
  for (size_t i = 0; i < changes.size(); ++i)
    out << "kova_changes_applied_total{kind=\"" << kinds[i] << "\"} " << changes[i].load() << "\n";
}

void renderNodes(std::ostringstream& out, const std::map<std::string, bool>& by_name) {
  int live = 0;
  for (const auto& [name, up] : by_name) live += up ? 1 : 0;
  single(out, "kova_live_nodes", "gauge", "Nodes whose lease is current.", live);
  header(out, "kova_node_up", "gauge", "1 while the node's lease is current, else 0.");
  for (const auto& [name, up] : by_name)
    out << "kova_node_up{node=\"" << escapeLabel(name) << "\"} " << (up ? 1 : 0) << "\n";
}

// The fields of /proc/self/stat after the command name, which may hold
// blanks; fields[0] is the state (field 3 of proc(5)).
std::vector<std::string> ownStatFields() {
  std::ifstream file("/proc/self/stat");
  std::string line;
  std::getline(file, line);
  std::istringstream rest(line.substr(line.rfind(')') + 2));
  std::vector<std::string> fields;
  for (std::string field; rest >> field;) fields.push_back(field);
  return fields;
}

double bootTime() {
  std::ifstream file("/proc/stat");
  for (std::string line; std::getline(file, line);)
    if (line.rfind("btime ", 0) == 0) return std::stod(line.substr(6));
  return 0;
}

double openDescriptors() {
  std::error_code error;
  double count = 0;
  for (std::filesystem::directory_iterator it("/proc/self/fd", error), end; !error && it != end;
       it.increment(error))
    ++count;
  return count > 0 ? count - 1 : 0;  // the iterator's own descriptor
}

void renderProcess(std::ostringstream& out) {
  const std::vector<std::string> fields = ownStatFields();
  if (fields.size() < 22) return;
  const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
  single(out, "process_cpu_seconds_total", "counter", "User and system CPU time spent in seconds.",
         (std::stod(fields[11]) + std::stod(fields[12])) / ticks);
  single(out, "process_resident_memory_bytes", "gauge", "Resident memory size in bytes.",
         std::stod(fields[21]) * static_cast<double>(sysconf(_SC_PAGESIZE)));
  single(out, "process_open_fds", "gauge", "Number of open file descriptors.", openDescriptors());
  single(out, "process_start_time_seconds", "gauge",
         "Start time of the process since unix epoch in seconds.",
         bootTime() + std::stod(fields[19]) / ticks);
}

}  // namespace

void countRun(const service& record) {
  if (record.state >= 0 && record.state < static_cast<int>(runs.size())) add(runs[record.state]);
  if (record.timed_out) add(timeouts);
  else if (record.state == 3 && record.output.rfind(kOutputCapped, 0) == 0) add(output_capped);
}

void countNotAllowed() { add(not_allowed); }
void observeRunDuration(double seconds) { run_duration.observe(seconds); }

void observeStartDelay(const struct timeval& due) {
  struct timeval now;
  gettimeofday(&now, nullptr);
  const double late =
      static_cast<double>(now.tv_sec - due.tv_sec) + (now.tv_usec - due.tv_usec) / 1e6;
  start_delay.observe(late > 0 ? late : 0);
}

void setResultsWaiting(size_t waiting) { results_waiting = static_cast<double>(waiting); }
void addResultsDropped(size_t dropped) { add(results_dropped, dropped); }
void observeResultWrite(double seconds) { result_write.observe(seconds); }
void setDatabaseUp(bool up) { database_up = up ? 1 : 0; }

void setCollectorsSource(std::function<double()> source) {
  MutexLock lock(&sources_mutex);
  collectors_source = std::move(source);
}

void setResultsWaitingSource(std::function<double()> source) {
  MutexLock lock(&sources_mutex);
  results_waiting_source = std::move(source);
}

void countChanges(Change kind, size_t count) { add(changes[static_cast<size_t>(kind)], count); }

void setNodes(std::map<std::string, bool> live_by_name) {
  MutexLock lock(&sources_mutex);
  nodes = std::move(live_by_name);
  nodes_set = true;
}

ScopedTimer::~ScopedTimer() {
  observe_(std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count());
}

std::string render() {
  std::ostringstream out;
  renderRuns(out);
  {
    // The sources run under the lock so that none is cleared while it runs.
    MutexLock lock(&sources_mutex);
    renderResults(out, results_waiting_source ? results_waiting_source() : results_waiting.load());
    renderChanges(out, collectors_source ? collectors_source() : 0);
    if (nodes_set) renderNodes(out, nodes);
  }
  header(out, "kova_build_info", "gauge", "Always 1; the version in its label.");
  out << "kova_build_info{version=\"" << KOVA_VERSION << "\"} 1\n";
  renderProcess(out);
  return out.str();
}

}  // namespace metrics
