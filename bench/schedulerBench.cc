// The scheduler benchmark: the daemon against the machine's own limit for
// the same work, measured side by side in one run, printed as one table.
//
// schedulerBench --collector BIN --baseline BIN --plugin BIN [--out FILE]
//                [--repetitions N] [--groups G] [--threads T] [--connections C]
//                [--only idle|nodes|saturated|results] [--rtt MS] [--sync-commit]
//
// Every repetition runs, in order: the baseline at full speed, the daemon
// saturated, the daemon at half the baseline's rate, the daemon idle with
// 10 000 hourly collectors, the daemon holding 100 000, then one node
// against two nodes saturated, and the failover of a killed node.
// --only idle (or nodes, or saturated) runs those phases alone; results runs
// the saturated pair and the half load. --rtt puts a proxy holding every
// packet back by half of MS each way between the programs and the server
// (after the calibration, which stays direct so that the demand is the
// machine's); --sync-commit only says in the heading that bench/run started
// the server with fsync=on. Interleaving the
// phases lets each ratio compare figures taken a minute apart, which
// matters on a machine shared with other work.
#include <getopt.h>
#include <time.h>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <thread>

#include "benchDatabase.h"
#include "benchProcess.h"
#include "benchTable.h"
#include "linkProxy.h"
#include "nodes/nodeOwnership.h"
#include "procStats.h"

namespace kova_bench {

namespace {

using std::chrono::seconds;

const int kMinSaturatedCollectors = 2000;
const int kIdleCollectors = 10000;
const int kLargeCollectors = 100000;
const int kFailoverCollectors = 200;
const seconds kStartTimeout{120};

struct Options {
  std::string collector;
  std::string baseline;
  std::string plugin;
  std::string out;
  int repetitions = 3;
  std::string only;  // "", "idle", "nodes", "saturated" or "results"
  double rtt_ms = 0;
  bool sync_commit = false;
  Shape shape;
};

// One list of values per figure, one value per repetition.
struct Series {
  std::vector<double> base_rate, base_cpu, base_busy;
  std::vector<double> sat_rate, sat_cpu, sat_busy, rate_ratio, cpu_ratio, sat_server, sat_both;
  std::vector<double> half_rate, half_median, half_p99, half_max, half_skipped, half_doubled;
  std::vector<double> idle_self, idle_total, idle_rss;
  std::vector<double> large_self, large_rss, large_peak;
  std::vector<double> node_one_rate, node_two_rate, node_ratio, failover_first, failover_all;
  int saturated_collectors = 0;
  int half_collectors = 0;
};

void progress(const std::string& text) { std::cerr << "[bench] " << text << std::endl; }

std::string fixed(double value, int decimals) {
  char text[64];
  snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

long long realtimeMicros() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

void stopOrWarn(BenchProcess& process, const std::string& what) {
  if (!process.stop()) progress("warning: " + what + " did not stop cleanly");
}

std::unique_ptr<BenchProcess> runningDaemon(const Options& options, int load_mod,
                                            kova_test::TestDatabase& db,
                                            const std::string& node_name = "") {
  auto daemon = startDaemon(options.collector, options.shape, load_mod, db, node_name);
  // Its directory goes with it: what it said is kept in the message.
  if (!waitDaemonRunning(*daemon, kStartTimeout))
    throw std::runtime_error("the daemon did not start; its log:\n" +
                             kova_test::readFile(daemon->file("daemon.log")) + "its console:\n" +
                             kova_test::readFile(daemon->file("console.txt")));
  return daemon;
}

Window baselinePhase(const Options& options, int collectors, kova_test::TestDatabase& db) {
  prepareCollectors(db, options.plugin, "1 second", collectors);
  auto baseline = startBaseline(options.baseline, options.plugin, options.shape, collectors, db);
  if (!waitForRuns(db, 1, kStartTimeout)) throw std::runtime_error("the baseline recorded nothing");
  std::this_thread::sleep_for(seconds(3));
  const Window window = measure(*baseline, db, seconds(15));
  stopOrWarn(*baseline, "the baseline");
  return window;
}

Window saturatedPhase(const Options& options, int collectors, kova_test::TestDatabase& db) {
  prepareCollectors(db, options.plugin, "1 second", collectors);
  auto daemon = runningDaemon(options, 1, db);  // every collector due at once
  if (!waitForRuns(db, 1, kStartTimeout)) throw std::runtime_error("the daemon recorded nothing");
  std::this_thread::sleep_for(seconds(3));
  const Window window = measure(*daemon, db, seconds(15));
  stopOrWarn(*daemon, "the daemon");
  return window;
}

void halfLoadPhase(const Options& options, Series* series, kova_test::TestDatabase& db) {
  prepareCollectors(db, options.plugin, "1 second", series->half_collectors);
  auto daemon = runningDaemon(options, 1, db);
  if (!waitForRuns(db, 1, kStartTimeout)) throw std::runtime_error("the daemon recorded nothing");
  // Past the first burst, which starts every collector at once.
  std::this_thread::sleep_for(seconds(5));
  const long long from = realtimeMicros();
  const Window window = measure(*daemon, db, seconds(20));
  const long long to = realtimeMicros();
  // Stopped first: every run started in the window is then recorded.
  stopOrWarn(*daemon, "the daemon");
  const Timeliness starts = analyseStarts(db, from, to, 1000000);
  series->half_rate.push_back(window.runsPerSecond());
  series->half_median.push_back(starts.median_ms);
  series->half_p99.push_back(starts.p99_ms);
  series->half_max.push_back(starts.max_ms);
  series->half_skipped.push_back(static_cast<double>(starts.skipped));
  series->half_doubled.push_back(static_cast<double>(starts.doubled));
  progress("  half load: " + fixed(window.runsPerSecond(), 0) + " runs/s, gap-interval median " +
           fixed(starts.median_ms, 1) + " ms, p99 " + fixed(starts.p99_ms, 1) + " ms, min " +
           fixed(starts.min_ms, 1) + " ms, max " + fixed(starts.max_ms, 1) + " ms, " +
           std::to_string(starts.skipped) + " skipped and " + std::to_string(starts.doubled) +
           " doubled of " + std::to_string(starts.cells) + " collector-seconds");
}

// Hourly collectors spread over the hour, as in production: a few runs a
// second, the rest of the time waiting.
Window idlePhase(const Options& options, int collectors, seconds length,
                 kova_test::TestDatabase& db) {
  prepareCollectors(db, options.plugin, "1 hour", collectors);
  auto daemon = runningDaemon(options, 3600, db);
  std::this_thread::sleep_for(seconds(5));
  const Window window = measure(*daemon, db, length);
  stopOrWarn(*daemon, "the daemon");
  return window;
}

// The pair whose ratios are the goals: the baseline, then the daemon with
// the same rows, a minute apart at most.
void saturationPair(const Options& options, Series* series, kova_test::TestDatabase& db) {
  const Window base = baselinePhase(options, series->saturated_collectors, db);
  progress("  baseline: " + fixed(base.runsPerSecond(), 0) + " runs/s, " +
           fixed(base.cpuMsPerRun(), 3) + " ms CPU/run, machine " +
           fixed(base.machine_busy * 100, 0) + "% busy");
  const Window sat = saturatedPhase(options, series->saturated_collectors, db);
  progress("  saturated: " + fixed(sat.runsPerSecond(), 0) + " runs/s, " +
           fixed(sat.cpuMsPerRun(), 3) + " ms CPU/run, PostgreSQL " +
           fixed(sat.serverMsPerRun(), 3) + " ms/run, machine " + fixed(sat.machine_busy * 100, 0) +
           "% busy");
  series->base_rate.push_back(base.runsPerSecond());
  series->base_cpu.push_back(base.cpuMsPerRun());
  series->base_busy.push_back(base.machine_busy * 100);
  series->sat_rate.push_back(sat.runsPerSecond());
  series->sat_cpu.push_back(sat.cpuMsPerRun());
  series->sat_busy.push_back(sat.machine_busy * 100);
  series->sat_server.push_back(sat.serverMsPerRun());
  series->sat_both.push_back(sat.cpuMsPerRun() + sat.serverMsPerRun());
  series->rate_ratio.push_back(sat.runsPerSecond() / base.runsPerSecond());
  series->cpu_ratio.push_back(sat.cpuMsPerRun() / base.cpuMsPerRun());
}

void idlePhases(const Options& options, Series* series, kova_test::TestDatabase& db) {
  const Window idle = idlePhase(options, kIdleCollectors, seconds(20), db);
  progress("  idle 10 000: " + fixed(idle.selfCpuPercent(), 2) + "% own, " +
           fixed(idle.totalCpuPercent(), 2) + "% with plugins, " + fixed(idle.rss_mib, 1) + " MiB");
  series->idle_self.push_back(idle.selfCpuPercent());
  series->idle_total.push_back(idle.totalCpuPercent());
  series->idle_rss.push_back(idle.rss_mib);
  const Window large = idlePhase(options, kLargeCollectors, seconds(10), db);
  progress("  100 000 loaded: " + fixed(large.selfCpuPercent(), 2) + "% own, " +
           fixed(large.rss_mib, 1) + " MiB, peak " + fixed(large.peak_rss_mib, 1) + " MiB");
  series->large_self.push_back(large.selfCpuPercent());
  series->large_rss.push_back(large.rss_mib);
  series->large_peak.push_back(large.peak_rss_mib);
}

// One node, then two on the same saturating rows: the runs/s the
// coordination costs, if any. Both nodes share this machine's two cores.
void nodesPair(const Options& options, Series* series, kova_test::TestDatabase& db) {
  prepareCollectors(db, options.plugin, "1 second", series->saturated_collectors);
  double one = 0, two = 0;
  {
    auto n1 = runningDaemon(options, 1, db, "n1");
    if (!waitForRuns(db, 1, kStartTimeout)) throw std::runtime_error("node n1 recorded nothing");
    std::this_thread::sleep_for(seconds(3));
    one = measure(*n1, db, seconds(15)).runsPerSecond();
    stopOrWarn(*n1, "node n1");
  }
  prepareCollectors(db, options.plugin, "1 second", series->saturated_collectors);
  {
    auto n1 = runningDaemon(options, 1, db, "n1");
    auto n2 = runningDaemon(options, 1, db, "n2");
    if (!waitForRuns(db, 1, kStartTimeout)) throw std::runtime_error("the nodes recorded nothing");
    // Past the hand-over of half the collectors to the second node.
    std::this_thread::sleep_for(seconds(8));
    two = measure(*n1, db, seconds(15)).runsPerSecond();
    stopOrWarn(*n2, "node n2");
    stopOrWarn(*n1, "node n1");
  }
  series->node_one_rate.push_back(one);
  series->node_two_rate.push_back(two);
  series->node_ratio.push_back(two / one);
  progress("  nodes: one " + fixed(one, 0) + " runs/s, two " + fixed(two, 0) + " runs/s");
}

// Two nodes, one killed with SIGKILL: how long until the survivor starts
// the first of the dead node's collectors, and all of them.
void failoverPhase(const Options& options, Series* series, kova_test::TestDatabase& db) {
  prepareCollectors(db, options.plugin, "1 second", kFailoverCollectors);
  auto n1 = runningDaemon(options, 1, db, "n1");
  auto n2 = runningDaemon(options, 1, db, "n2");
  std::this_thread::sleep_for(seconds(10));
  const std::vector<NodeInfo> nodes = {{"n1", {}, true}, {"n2", {}, true}};
  std::vector<int> lost;
  for (int id = 1; id <= kFailoverCollectors; ++id)
    if (placeCollector(nodes, id, "").runner == "n2") lost.push_back(id);
  const long long killed = realtimeMicros();
  n2->kill();
  Restarts restarts;
  kova_test::waitFor(
      [&] {
        restarts = firstStartsAfter(db, lost, killed);
        return restarts.started == static_cast<long long>(lost.size());
      },
      seconds(120));
  stopOrWarn(*n1, "node n1");
  if (restarts.started != static_cast<long long>(lost.size()))
    throw std::runtime_error("the survivor never ran all of the killed node's collectors");
  series->failover_first.push_back((restarts.earliest_us - killed) / 1e6);
  series->failover_all.push_back((restarts.latest_us - killed) / 1e6);
  progress("  failover of " + std::to_string(lost.size()) + " collectors: first after " +
           fixed(series->failover_first.back(), 1) + " s, all after " +
           fixed(series->failover_all.back(), 1) + " s");
}

// A short baseline run sets the demand of the other phases: about twice
// what the machine can do when saturated, half of it for the timeliness.
void calibrate(const Options& options, Series* series, kova_test::TestDatabase& db) {
  prepareCollectors(db, options.plugin, "1 second", kMinSaturatedCollectors);
  auto baseline =
      startBaseline(options.baseline, options.plugin, options.shape, kMinSaturatedCollectors, db);
  if (!waitForRuns(db, 1, kStartTimeout)) throw std::runtime_error("the baseline recorded nothing");
  std::this_thread::sleep_for(seconds(2));
  const double rate = measure(*baseline, db, seconds(5)).runsPerSecond();
  stopOrWarn(*baseline, "the baseline");
  series->saturated_collectors =
      std::max(kMinSaturatedCollectors, static_cast<int>(std::ceil(rate * 2 / 100)) * 100);
  series->half_collectors = std::max(1, static_cast<int>(std::lround(rate / 2)));
  progress("calibration: baseline " + fixed(rate, 0) + " runs/s; saturation with " +
           std::to_string(series->saturated_collectors) + " collectors, half load with " +
           std::to_string(series->half_collectors));
}

void repetition(const Options& options, int number, Series* series, kova_test::TestDatabase& db) {
  progress("repetition " + std::to_string(number) + " of " + std::to_string(options.repetitions));
  const bool results = options.only == "results";
  if (options.only.empty() || options.only == "saturated" || results)
    saturationPair(options, series, db);
  if (options.only.empty() || results) halfLoadPhase(options, series, db);
  if (options.only.empty() || options.only == "idle") idlePhases(options, series, db);
  if (options.only.empty() || options.only == "nodes") {
    nodesPair(options, series, db);
    failoverPhase(options, series, db);
  }
}

Figure figure(std::string label, std::string unit, int decimals, std::vector<double> values) {
  Figure result;
  result.label = std::move(label);
  result.unit = std::move(unit);
  result.decimals = decimals;
  result.values = std::move(values);
  return result;
}

Figure goal(Figure base, std::string text, std::function<bool(double)> meets) {
  base.goal = std::move(text);
  base.meets = std::move(meets);
  return base;
}

std::vector<Figure> figures(const Series& s) {
  const auto atLeast = [](double limit) { return [limit](double v) { return v >= limit; }; };
  const auto atMost = [](double limit) { return [limit](double v) { return v <= limit; }; };
  const auto below = [](double limit) { return [limit](double v) { return v < limit; }; };
  return {
      figure("baseline: recorded runs/s", "runs/s", 0, s.base_rate),
      figure("baseline: CPU per run (process + plugins)", "ms", 3, s.base_cpu),
      figure("baseline: machine busy (all processes)", "%", 0, s.base_busy),
      figure("saturated: recorded runs/s", "runs/s", 0, s.sat_rate),
      goal(figure("saturated: runs/s / baseline's", "", 3, s.rate_ratio), ">= 0.90", atLeast(0.90)),
      figure("saturated: CPU per run (daemon + plugins)", "ms", 3, s.sat_cpu),
      goal(figure("saturated: CPU per run / baseline's", "", 3, s.cpu_ratio), "<= 1.15",
           atMost(1.15)),
      figure("saturated: PostgreSQL CPU per run", "ms", 3, s.sat_server),
      figure("saturated: CPU per run (daemon + plugins + PostgreSQL)", "ms", 3, s.sat_both),
      figure("saturated: machine busy (all processes)", "%", 0, s.sat_busy),
      figure("half load: recorded runs/s", "runs/s", 0, s.half_rate),
      figure("half load: gap - interval, median", "ms", 1, s.half_median),
      goal(figure("half load: gap - interval, p99", "ms", 1, s.half_p99), "< 50 ms", below(50)),
      figure("half load: gap - interval, max", "ms", 1, s.half_max),
      goal(figure("half load: collector-seconds without a start", "", 0, s.half_skipped), "0",
           atMost(0)),
      goal(figure("half load: collector-seconds with two starts", "", 0, s.half_doubled), "0",
           atMost(0)),
      goal(figure("idle, 10 000 hourly: daemon CPU (own)", "% core", 2, s.idle_self), "< 0.2 %",
           below(0.2)),
      goal(figure("idle, 10 000 hourly: daemon CPU (with plugins)", "% core", 2, s.idle_total),
           "< 2 %", below(2)),
      goal(figure("idle, 10 000 hourly: resident memory", "MiB", 1, s.idle_rss), "< 100 MiB",
           below(100)),
      figure("100 000 hourly: daemon CPU (own)", "% core", 2, s.large_self),
      figure("100 000 hourly: resident memory", "MiB", 1, s.large_rss),
      figure("100 000 hourly: peak resident memory", "MiB", 1, s.large_peak),
      figure("one node: recorded runs/s, saturated", "runs/s", 0, s.node_one_rate),
      figure("two nodes: recorded runs/s, saturated", "runs/s", 0, s.node_two_rate),
      goal(figure("two nodes: runs/s / one node's", "", 3, s.node_ratio), ">= 0.90", atLeast(0.90)),
      figure("kill -9 of a node: first of its runs elsewhere", "s", 1, s.failover_first),
      goal(figure("kill -9 of a node: all of its runs elsewhere", "s", 1, s.failover_all),
           "<= 30 s", atMost(30)),
  };
}

std::string loadAverage() {
  std::ifstream file("/proc/loadavg");
  std::string one, five, fifteen;
  file >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

std::string today() {
  const time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  char text[64];
  strftime(text, sizeof text, "%Y-%m-%d %H:%M %Z", &local);
  return text;
}

std::vector<std::string> heading(const Options& options, const Series& series,
                                 const std::string& load_at_start) {
  const Shape& shape = options.shape;
  return {
      "kovaFlowCollector scheduler benchmark, " + today(),
      "machine: " + machineDescription() + "; load average at start " + load_at_start,
      "shape (daemon and baseline): core_number=" + std::to_string(shape.groups) +
          " thread_number=" + std::to_string(shape.threads) +
          " connection_number=" + std::to_string(shape.connections),
      "plugin: static binary printing {\"t\":<start us>,\"id\":<id>}; database: throwaway "
      "PostgreSQL 15 (" +
          std::string(options.sync_commit ? "fsync on" : "fsync off") +
          ", synchronous_commit on); round trip added by a proxy: " + fixed(options.rtt_ms, 1) +
          " ms",
      "demand: saturated " + std::to_string(series.saturated_collectors) +
          " collectors due every second (load_mod=1); half load " +
          std::to_string(series.half_collectors) +
          " due every second; idle and 100 000: "
          "interval 1 hour, first runs spread over the hour (load_mod=3600, about 3 and 28 runs/s); "
          "nodes: the saturated rows on node_name n1, then on n1 and n2 (each of the shape above); "
          "failover: " +
          std::to_string(kFailoverCollectors) +
          " collectors due every second on n1 and n2, n2 killed",
      "figures: median of " + std::to_string(options.repetitions) +
          " repetitions, min - max beside it; ratios are taken within each repetition",
  };
}

Options parseOptions(int argc, char** argv) {
  Options options;
  const struct option long_options[] = {{"collector", required_argument, nullptr, 'c'},
                                        {"baseline", required_argument, nullptr, 'b'},
                                        {"plugin", required_argument, nullptr, 'p'},
                                        {"out", required_argument, nullptr, 'o'},
                                        {"repetitions", required_argument, nullptr, 'r'},
                                        {"groups", required_argument, nullptr, 'g'},
                                        {"threads", required_argument, nullptr, 't'},
                                        {"connections", required_argument, nullptr, 'n'},
                                        {"only", required_argument, nullptr, 'O'},
                                        {"rtt", required_argument, nullptr, 'R'},
                                        {"sync-commit", no_argument, nullptr, 'S'},
                                        {nullptr, 0, nullptr, 0}};
  for (int option; (option = getopt_long(argc, argv, "", long_options, nullptr)) != -1;) {
    switch (option) {
      case 'c': options.collector = optarg; break;
      case 'b': options.baseline = optarg; break;
      case 'p': options.plugin = optarg; break;
      case 'o': options.out = optarg; break;
      case 'r': options.repetitions = std::stoi(optarg); break;
      case 'g': options.shape.groups = std::stoi(optarg); break;
      case 't': options.shape.threads = std::stoi(optarg); break;
      case 'n': options.shape.connections = std::stoi(optarg); break;
      case 'O': options.only = optarg; break;
      case 'R': options.rtt_ms = std::stod(optarg); break;
      case 'S': options.sync_commit = true; break;
      default: throw std::invalid_argument("unknown option");
    }
  }
  if (options.collector.empty() || options.baseline.empty() || options.plugin.empty() ||
      options.repetitions < 1)
    throw std::invalid_argument("--collector, --baseline and --plugin are required");
  return options;
}

int run(int argc, char** argv) {
  Options options = parseOptions(argc, argv);
  const std::string load_at_start = loadAverage();
  kova_test::TestDatabase& db = kova_test::TestDatabase::instance();
  Series series;
  if (options.only != "idle") calibrate(options, &series, db);
  std::unique_ptr<LinkProxy> proxy;
  if (options.rtt_ms > 0) {
    proxy = std::make_unique<LinkProxy>(
        db.host(), db.port(), std::chrono::microseconds(std::lround(options.rtt_ms * 1000)));
    options.shape.proxy_port = proxy->port();
  }
  for (int number = 1; number <= options.repetitions; ++number)
    repetition(options, number, &series, db);
  std::vector<Figure> measured;
  for (Figure& figure : figures(series))
    if (!figure.values.empty()) measured.push_back(std::move(figure));
  const std::string table = formatTable(heading(options, series, load_at_start), measured);
  std::cout << table;
  if (!options.out.empty()) {
    std::ofstream out(options.out, std::ios::trunc);
    out << table;
    if (!out) throw std::runtime_error("cannot write " + options.out);
  }
  return 0;
}

}  // namespace

}  // namespace kova_bench

int main(int argc, char** argv) {
  try {
    return kova_bench::run(argc, argv);
  } catch (const std::exception& error) {
    std::cerr << "schedulerBench: " << error.what() << std::endl;
    return 1;
  }
}
