// The status report's exact layout and its OVERLOAD rules (a daemon run
// only shows idle and fully busy records).
#include "monitor.h"

#include <gtest/gtest.h>

#include "testUtil.h"

namespace {

CoreStatus core(int active, size_t workers, size_t queued, uint32_t waiting = 0) {
  return {.connections = 3, .active = active, .workers = workers, .queued = queued, .waiting = waiting};
}

TEST(StatusReport, KnownStateGivesExactText) {
  StatusSnapshot snapshot{
      .core_number = 1, .delete_queue = 0, .update_queue = 2, .connections = 1, .cores = {core(1, 4, 0, 12)}};
  snapshot.cores[0].estimated_load = 15;
  EXPECT_EQ(formatStatusReport(snapshot),
            "CORE NUMBER: 1\n"
            "Delete queue: 0\n"
            "Update queue: 2\n"
            "Database number of connection: 1\n"
            "\n"
            "CORE 0\t\t\t\tstatus: OK      \n"
            "Estimated load: 15\n"
            "Database connection: 3\n"
            "Thread active: 1 / 4\t\tstatus: OK        \n"
            "Thread queue: 0\t\t\tStatus: OK        \n"
            "Queue Size: 12\n"
            "\n"
            "TOTAL SERVICE: 13\n");
}

TEST(StatusReport, OverloadRules) {
  const struct {
    CoreStatus status;
    bool threads_overloaded, queue_overloaded;
  } cases[] = {
      {core(0, 1, 0), true, false},   // a single worker is always overloaded
      {core(3, 4, 0), true, false},   // one idle worker left
      {core(2, 4, 0), false, false},
      {core(0, 4, 50), false, false},
      {core(0, 4, 51), false, true},
  };
  for (const auto& test : cases) {
    StatusSnapshot snapshot;
    snapshot.cores.push_back(test.status);
    const std::string text = formatStatusReport(snapshot);
    SCOPED_TRACE(text);
    EXPECT_TRUE(kova_test::contains(text, test.threads_overloaded || test.queue_overloaded
                                              ? "status: OVERLOAD\n" : "status: OK      \n"));
    EXPECT_EQ(kova_test::contains(text, "\t\tstatus: OVERLOAD\nThread queue"), test.threads_overloaded);
    EXPECT_EQ(kova_test::contains(text, "Status: OVERLOAD"), test.queue_overloaded);
  }
}

}  // namespace
