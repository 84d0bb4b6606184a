// Tests of DeleteList: duplicates, erase of one occurrence, the show() line.
#include <gtest/gtest.h>

#include <iostream>
#include <sstream>
#include <string>

#include "DeleteList.h"

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
  EXPECT_TRUE(list.empty());
  EXPECT_FALSE(list.erase(5));
  list.push(5);
  list.push(9);
  list.push(5);
  EXPECT_EQ(list.size(), 3);
  EXPECT_TRUE(list.erase(5));
  EXPECT_TRUE(list.find(5));
  EXPECT_EQ(shown(list), " 9 5\n");  // the first occurrence went
  EXPECT_TRUE(list.erase(5));
  EXPECT_FALSE(list.find(5));
  EXPECT_FALSE(list.erase(5));
  EXPECT_TRUE(list.find(9));
  EXPECT_EQ(list.size(), 1);
}

TEST(DeleteList, ShowWritesEachIdAfterASpace) {
  DeleteList list;
  EXPECT_EQ(shown(list), "\n");
  list.push(3);
  list.push(7);
  list.push(18446744073709551615ull);
  EXPECT_EQ(shown(list), " 3 7 18446744073709551615\n");
}

}  // namespace
