// One thing to run: a collector plugin or a one-off command, copied by value.
#pragma once

#include <sys/time.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Not thread-safe: a record is only ever used by whoever holds the copy.
class service {
 public:
  service();
  service(const service&) = default;
  service& operator=(const service&) = default;
  service(service&&) = default;
  service& operator=(service&&) = default;
  virtual ~service() = default;

  // interval in milliseconds; load becomes float(300000 / interval), integer
  // division. Callers guarantee interval > 0 (the loaders reject 0).
  void Setinterval_exec_time(int interval);
  void SetService_id(unsigned long long id);
  // Stores the string and splits it into parameter_list: blank-separated,
  // " and ' toggle quoting (interchangeably), no escape character, empty
  // tokens dropped.
  void Setparameter(std::string parameter);

  // Order by next_exec_time, seconds then microseconds.
  bool operator<(const service& other) const;
  bool operator>(const service& other) const;

  // Runs plugin_path with parameter_list as arguments and an empty
  // environment within the limits below; stdout becomes output, the exit
  // code becomes state. The whole contract, with its state and output
  // table, is in process.h. Thread-safe across distinct records.
  int execute();

  int32_t plugin_id;
  uint64_t Service_id;
  std::string Service_id_str;
  int32_t state;
  std::string name;
  std::string parameter;
  std::vector<std::string> parameter_list;
  std::string plugin_path;
  // The file started in plugin_path's place (argv[0] stays plugin_path):
  // the resolved path that was checked against the allowed directories, so
  // that a link changed after the check cannot swap the program. Empty:
  // plugin_path itself.
  std::string exec_path;
  struct timeval next_exec_time;
  int32_t interval_exec_time;
  std::string output;
  float load;

  // Limits of one run: seconds before the command's group is stopped (0: no
  // limit), bytes of output kept, and whether descendants that outlive the
  // command are left alone (a tool that detaches into the background).
  int timeout_s;
  size_t output_max;
  bool spare_descendants;
  // Set by execute: the last run was stopped at its time limit.
  bool timed_out;
};

// Output kept per run unless a caller asks for another cap.
inline constexpr size_t kDefaultOutputMax = 1048576;
