// The waiting queue orders by due second only, and popDue removes exactly
// the service it looked at.
#include "WaitServiceQueue.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

service dueAt(long seconds, long micros = 0, unsigned long long id = 0) {
  service record;
  record.SetService_id(id);
  record.next_exec_time = {seconds, micros};
  return record;
}

TEST(WaitServiceQueue, PopsEarliestSecondFirst) {
  WaitServiceQueue queue;
  for (long second : {30, 10, 20, 5, 25}) queue.push(dueAt(second));
  std::vector<long> order;
  while (!queue.empty()) order.push_back(queue.pop().next_exec_time.tv_sec);
  EXPECT_EQ(order, (std::vector<long>{5, 10, 20, 25, 30}));
}

TEST(WaitServiceQueue, FrontCopiesWithoutRemoving) {
  WaitServiceQueue queue;
  queue.push(dueAt(7, 0, 1));
  queue.push(dueAt(3, 0, 2));
  EXPECT_EQ(queue.front().Service_id, 2u);
  EXPECT_EQ(queue.pop().Service_id, 2u);
  EXPECT_EQ(queue.size(), 1u);
}

TEST(WaitServiceQueue, EmptyQueueGivesDefaultRecords) {
  WaitServiceQueue queue;
  EXPECT_TRUE(queue.empty());
  EXPECT_EQ(queue.pop().Service_id, 0u);
  EXPECT_EQ(queue.front().Service_id, 0u);
  service out;
  EXPECT_FALSE(queue.popDue(1000, &out));
}

// Within one second the earliest microsecond leaves first, so a collector
// keeps its place in the burst released at the start of every second.
TEST(WaitServiceQueue, SameSecondLeavesInMicrosecondOrder) {
  WaitServiceQueue queue;
  for (long micros : {700000, 100000, 900000, 300000}) queue.push(dueAt(50, micros));
  std::vector<long> order;
  service out;
  while (queue.popDue(50, &out)) order.push_back(out.next_exec_time.tv_usec);
  EXPECT_EQ(order, (std::vector<long>{100000, 300000, 700000, 900000}));
}

TEST(WaitServiceQueue, PopDueComparesWholeSecondsOnly) {
  WaitServiceQueue queue;
  queue.push(dueAt(100, 900000, 1));
  service out;
  EXPECT_FALSE(queue.popDue(99, &out));
  ASSERT_TRUE(queue.popDue(100, &out));
  EXPECT_EQ(out.Service_id, 1u);
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
    if (queue.popDue(1000, &out)) {
      ++seen[out.Service_id];
      ++moved;
    }
  }
  for (auto& pusher : pushers) pusher.join();
  for (size_t id = 1; id < seen.size(); ++id) ASSERT_EQ(seen[id], 1) << "id " << id;
}

}  // namespace
