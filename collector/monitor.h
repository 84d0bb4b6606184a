// The status file: queue sizes, connections, busy workers and verdicts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Counters of one core record, as read for one report.
struct CoreStatus {
  float estimated_load = 0;
  int connections = 0;
  int active = 0;
  size_t workers = 0;
  size_t queued = 0;
  uint32_t waiting = 0;
};

struct StatusSnapshot {
  int core_number = 0;
  size_t delete_queue = 0;
  int update_queue = 0;
  int connections = 0;
  std::vector<CoreStatus> cores;
};

// The report text, every line ending with a newline, last line
// "TOTAL SERVICE: <waiting + active + queued over all records>".
std::string formatStatusReport(const StatusSnapshot& snapshot);

// Reads the live counters, each under its own lock, one at a time.
StatusSnapshot readStatus();

// Thread entry; arg unused. Rewrites the status file (log_info_file) every 500 ms until the stop.
void* thread_monitoring(void* arg);
