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

TEST(ExecuteQueue, FifoAndEmptyPopThrows) {
  ExecuteQueue<service> queue;
  EXPECT_THROW(queue.pop(), EmptyQueueException);
  for (unsigned long long id : {3, 1, 2}) queue.push(withId(id));
  for (unsigned long long id : {3, 1, 2}) EXPECT_EQ(queue.pop().Service_id, id);
}

TEST(UpdateServiceMap, LatestDefinitionWinsAndIsTakenOnce) {
  UpdateServiceMap map;
  map.addService(withId(5, "first"));
  map.addService(withId(5, "second"));
  EXPECT_EQ(map.size(), 1);
  EXPECT_EQ(map.getService(5).name, "second");
  EXPECT_FALSE(map.find(5));
}

}  // namespace
