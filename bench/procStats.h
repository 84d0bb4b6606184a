// CPU time and memory of a process, and the machine's CPU use, from /proc.
#pragma once

#include <sys/types.h>

#include <string>

namespace kova_bench {

// In seconds. children counts only children that have been reaped, which
// is every plugin run once its worker has waited for it.
struct ProcessCpu {
  double self = 0;      // utime + stime
  double children = 0;  // cutime + cstime
  double total() const { return self + children; }
};

// Throws std::runtime_error when the process is gone.
ProcessCpu processCpu(pid_t pid);

// CPU seconds of a PostgreSQL server: the postmaster, its live processes
// and those it has reaped (every backend that ended).
double serverCpu(pid_t postmaster);
pid_t parentOf(pid_t pid);

// VmRSS and VmHWM (peak) in MiB; 0 when the process is gone.
double residentMiB(pid_t pid);
double peakResidentMiB(pid_t pid);

// Cumulative ticks of /proc/stat's first line; busy = all but idle and iowait.
struct MachineCpu {
  unsigned long long busy = 0;
  unsigned long long total = 0;
};
MachineCpu machineCpu();
// Busy share of all cores between two readings, 0..1.
double busyShare(const MachineCpu& before, const MachineCpu& after);

// "model name, N cores, M GiB, Linux release" for the table's heading.
std::string machineDescription();

}  // namespace kova_bench
