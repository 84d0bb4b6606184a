// The waiting queue releases by due second only, and within one second in
// microsecond order, so that a collector keeps its place in the burst
// released at the start of every second.
#include "WaitServiceQueue.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

service dueAt(long seconds, long micros) {
  service record;
  record.next_exec_time = {seconds, micros};
  return record;
}

TEST(WaitServiceQueue, DueByWholeSecondThenInMicrosecondOrder) {
  WaitServiceQueue queue;
  for (long micros : {700000, 100000, 900000, 300000}) queue.push(dueAt(50, micros));
  queue.push(dueAt(40, 999999));
  queue.push(dueAt(51, 0));
  service out;
  EXPECT_FALSE(queue.popDue(39, &out));
  std::vector<long> order;
  while (queue.popDue(50, &out)) order.push_back(out.next_exec_time.tv_usec);
  EXPECT_EQ(order, (std::vector<long>{999999, 100000, 300000, 700000, 900000}));
  EXPECT_FALSE(queue.empty());
}

}  // namespace
