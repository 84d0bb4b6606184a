// The status report's exact layout and its OVERLOAD rules at their bounds
// (a daemon run only shows idle and fully busy records).
#include "monitor.h"

#include <gtest/gtest.h>

namespace {

CoreStatus core(float load, int active, size_t queued, uint32_t waiting) {
  return {.estimated_load = load,
          .connections = 3,
          .active = active,
          .workers = 4,
          .queued = queued,
          .waiting = waiting};
}

// Busy once at most one worker is idle; the queue once it holds more than 50.
TEST(StatusReport, KnownStateGivesExactText) {
  const StatusSnapshot snapshot{
      .core_number = 3,
      .delete_queue = 0,
      .update_queue = 2,
      .connections = 1,
      .cores = {core(15, 2, 50, 12), core(4, 3, 0, 1), core(60, 0, 51, 0)}};
  EXPECT_EQ(formatStatusReport(snapshot),
            "CORE NUMBER: 3\n"
            "Delete queue: 0\n"
            "Update queue: 2\n"
            "Database number of connection: 1\n"
            "\n"
            "CORE 0\t\t\t\tstatus: OK      \n"
            "Estimated load: 15\n"
            "Database connection: 3\n"
            "Thread active: 2 / 4\t\tstatus: OK        \n"
            "Thread queue: 50\t\t\tStatus: OK        \n"
            "Queue Size: 12\n"
            "\n"
            "CORE 1\t\t\t\tstatus: OVERLOAD\n"
            "Estimated load: 4\n"
            "Database connection: 3\n"
            "Thread active: 3 / 4\t\tstatus: OVERLOAD\n"
            "Thread queue: 0\t\t\tStatus: OK        \n"
            "Queue Size: 1\n"
            "\n"
            "CORE 2\t\t\t\tstatus: OVERLOAD\n"
            "Estimated load: 60\n"
            "Database connection: 3\n"
            "Thread active: 0 / 4\t\tstatus: OK        \n"
            "Thread queue: 51\t\t\tStatus: OVERLOAD\n"
            "Queue Size: 0\n"
            "\n"
            "TOTAL SERVICE: 119\n");
}

}  // namespace
