// The benchmark's rows in the throwaway database, and what it reads back.
#pragma once

#include <string>
#include <vector>

#include "pgHarness.h"

namespace kova_bench {

// Empties the tables, then writes one channel (the daemon stops at start
// without one), one plugin with the given interval ("1 second") and count
// collectors with ids 1..count, each with its own id as parameter, never run.
void prepareCollectors(kova_test::TestDatabase& db, const std::string& plugin,
                       const std::string& interval, int count);

// Rows in flows_stats: every recorded successful run.
long long recordedRuns(kova_test::TestDatabase& db);

// Plugin starts (the "t" the plugin printed, microseconds) in [from, to).
struct Timeliness {
  long long gaps = 0;    // consecutive starts of one collector
  double median_ms = 0;  // of (gap - interval)
  double p99_ms = 0;
  double max_ms = 0;
  double min_ms = 0;
  long long cells = 0;    // collector x whole second inside the window
  long long skipped = 0;  // cells without a start
  long long doubled = 0;  // cells with two starts or more
};
Timeliness analyseStarts(kova_test::TestDatabase& db, long long from_us, long long to_us,
                         long long interval_us);

// The first plugin start after from_us of each of these collectors: how
// many have started again, the earliest and the latest of those firsts.
struct Restarts {
  long long started = 0;
  long long earliest_us = 0;
  long long latest_us = 0;
};
Restarts firstStartsAfter(kova_test::TestDatabase& db, const std::vector<int>& ids,
                          long long from_us);

}  // namespace kova_bench
