// The waiting queue orders by due second only, and popDue removes exactly
// the service it looked at.
#include "WaitServiceQueue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

namespace {

service dueAt(long seconds, long micros = 0, unsigned long long id = 0) {
  service record;
  record.SetService_id(id);
  record.next_exec_time = {seconds, micros};
  return record;
}

// Due means the whole second has come; within one second the earliest
// microsecond leaves first, so a collector keeps its place in the burst
// released at the start of every second.
TEST(WaitServiceQueue, DueBySecondThenMicrosecondOrder) {
  WaitServiceQueue queue;
  service out;
  EXPECT_FALSE(queue.popDue(1000, &out));
  for (long micros : {700000, 100000, 900000, 300000}) queue.push(dueAt(50, micros));
  queue.push(dueAt(40, 999999));
  EXPECT_FALSE(queue.popDue(39, &out));
  std::vector<long> order;
  while (queue.popDue(50, &out)) order.push_back(out.next_exec_time.tv_usec);
  EXPECT_EQ(order, (std::vector<long>{999999, 100000, 300000, 700000, 900000}));
  EXPECT_TRUE(queue.empty());
}

// A collector added with a past due time jumps to the top between two
// polls; the release must still move each service exactly once.
TEST(WaitServiceQueue, ConcurrentPushesNeverLoseOrDuplicate) {
  WaitServiceQueue queue;
  const int kPerThread = 2000;
  std::vector<std::thread> pushers;
  for (int t = 0; t < 4; ++t) {
    pushers.emplace_back([&queue, t] {
      for (int i = 0; i < kPerThread; ++i)
        queue.push(dueAt(i % 7, 0, static_cast<unsigned long long>(t * kPerThread + i + 1)));
    });
  }
  std::vector<int> seen(4 * kPerThread + 1, 0);
  int moved = 0;
  while (moved < 4 * kPerThread) {
    service out;
    if (queue.popDue(1000, &out)) ++seen[out.Service_id], ++moved;
  }
  for (auto& pusher : pushers) pusher.join();
  EXPECT_EQ(std::count(seen.begin() + 1, seen.end(), 1), 4 * kPerThread);
}

}  // namespace
