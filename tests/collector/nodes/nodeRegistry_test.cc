// What this node holds and hands over: a collector claimed twice runs
// twice, one released too early runs on two nodes at once.
#include "nodes/nodeRegistry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

using Ids = std::vector<uint64_t>;

Ids sorted(Ids ids) {
  std::ranges::sort(ids);
  return ids;
}

Ids released(NodeRegistry& registry) {
  const auto ids = registry.released();
  return sorted(Ids(ids.begin(), ids.end()));
}

// One sequence, as the loader and the releaser meet it over a few rounds.
TEST(NodeRegistry, ReconcileClaimsWhatIsOwnedAndReleasesWhatIsNot) {
  NodeRegistry registry;
  EXPECT_TRUE(registry.claim(1));
  EXPECT_FALSE(registry.claim(1));
  for (uint64_t id : {2, 3}) registry.claim(id);
  const uint64_t since = registry.stamp();
  registry.claim(4);  // loaded from rows newer than those the ownership came from
  EXPECT_EQ(registry.reconcile({1, 5}, since), Ids{5});
  EXPECT_EQ(released(registry), (Ids{2, 3}));
  EXPECT_EQ(registry.heldCount(), 5u);
  EXPECT_EQ(sorted(registry.heldIds()),
            (Ids{1, 2, 3, 4, 5}));  // released ones are held until dropped
  EXPECT_FALSE(registry.claim(2)) << "a released id was loaded a second time";

  EXPECT_FALSE(registry.dropIfReleased(1));
  EXPECT_TRUE(registry.dropIfReleased(2));
  EXPECT_FALSE(registry.dropIfReleased(2));
  EXPECT_FALSE(registry.holds(2));
  EXPECT_TRUE(registry.holds(1));

  // 3 owned again before its service went: the hand-over is off, and it is
  // not loaded a second time.
  EXPECT_EQ(registry.reconcile({1, 3, 4, 5}, registry.stamp()), Ids{});
  EXPECT_EQ(released(registry), Ids{});
  EXPECT_FALSE(registry.dropIfReleased(3));
  EXPECT_TRUE(registry.holds(3));

  EXPECT_EQ(registry.reconcile({}, registry.stamp()), Ids{});
  EXPECT_EQ(released(registry), (Ids{1, 3, 4, 5}));
  registry.forget(4);
  EXPECT_EQ(released(registry), (Ids{1, 3, 5}));
  EXPECT_EQ(registry.heldCount(), 3u);
  EXPECT_EQ(registry.reconcile({4}, registry.stamp()), Ids{4});  // forgotten, so loaded anew
}

}  // namespace
