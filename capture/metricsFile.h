// What one capture run did, for node_exporter's textfile collector: the
// program runs once and exits, so nobody could scrape it.
#pragma once

#include <string>

enum class ChannelOutcome { running, started, failed, stopped };

// Counts one channel of this run. Single-threaded, like the program.
void countChannel(ChannelOutcome outcome);

// Writes kova_capture_channels{state=...}, kova_capture_last_run_timestamp_seconds
// (now) and kova_capture_run_seconds to path through a temporary file in
// the same directory renamed over it, so a collector never reads half a
// file. Empty path: nothing. A failure is logged as "ERR" and otherwise
// ignored: the capture itself went fine.
void writeMetricsTextfile(const std::string& path, double run_seconds);
