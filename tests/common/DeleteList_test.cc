// Tests of DeleteList: duplicates, erase of one occurrence, the show() line.
#include "DeleteList.h"

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>

namespace {

std::string shown(DeleteList& list) {
  std::ostringstream captured;
  std::streambuf* saved = std::cout.rdbuf(captured.rdbuf());
  list.show();
  std::cout.rdbuf(saved);
  return captured.str();
}

TEST(DeleteList, DuplicatesStayUntilEachIsErased) {
  DeleteList list;
  EXPECT_EQ(shown(list), "\n");
  EXPECT_FALSE(list.erase(5));
  for (unsigned long long id : {5ull, 18446744073709551615ull, 5ull}) list.push(id);
  EXPECT_TRUE(list.erase(5));
  EXPECT_EQ(shown(list), " 18446744073709551615 5\n");  // the first occurrence went
  EXPECT_TRUE(list.erase(5));
  EXPECT_FALSE(list.find(5) || list.erase(5));
  EXPECT_EQ(list.size(), 1);
}

}  // namespace
