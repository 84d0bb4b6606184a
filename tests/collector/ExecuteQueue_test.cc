// Execution queue and update map: FIFO order, the empty-queue exception,
// latest definition wins.
#include <gtest/gtest.h>

#include "ExecuteQueue.h"
#include "UpdateServiceMap.h"

namespace {

service withId(unsigned long long id, const std::string& name = "") {
  service record;
  record.SetService_id(id);
  record.name = name;
  return record;
}

TEST(ExecuteQueue, FirstInFirstOut) {
  ExecuteQueue<service> queue;
  for (unsigned long long id : {3, 1, 2}) queue.push(withId(id));
  EXPECT_EQ(queue.pop().Service_id, 3u);
  EXPECT_EQ(queue.pop().Service_id, 1u);
  EXPECT_EQ(queue.pop().Service_id, 2u);
}

TEST(ExecuteQueue, EmptyPopThrowsAndQueueStaysUsable) {
  ExecuteQueue<service> queue;
  try {
    queue.pop();
    FAIL() << "no exception";
  } catch (const EmptyQueueException& error) {
    EXPECT_STREQ(error.what(), "queue is empty");
  }
  queue.push(withId(9));
  EXPECT_EQ(queue.size(), 1u);
  EXPECT_EQ(queue.pop().Service_id, 9u);
}

TEST(UpdateServiceMap, LatestDefinitionWinsAndIsTakenOnce) {
  UpdateServiceMap map;
  map.addService(withId(5, "first"));
  map.addService(withId(5, "second"));
  EXPECT_EQ(map.size(), 1);
  ASSERT_TRUE(map.find(5));
  EXPECT_EQ(map.getService(5).name, "second");
  EXPECT_FALSE(map.find(5));
  EXPECT_TRUE(map.empty());
  EXPECT_EQ(map.getService(5).Service_id, 0u);
}

}  // namespace
