// Tests of the service record: parameter splitting and ordering.
#include "service.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Arguments = std::vector<std::string>;

TEST(Service, ParameterSplittingTable) {
  const std::vector<std::pair<std::string, Arguments>> cases = {
      {"-a 1  -b", {"-a", "1", "-b"}},
      {"-m \"two words\" 'x y'", {"-m", "two words", "x y"}},
      {"a\\ b", {"a\\", "b"}},     // backslash is no escape
      {"-x \"\"", {"-x"}},         // empty quotes give no argument
      {"\"it's\"", {"its"}},       // quotes are interchangeable, left open
      {"\"a b' c", {"a b", "c"}},  // closed by the other quote
      {"pre\"fix suf\"fix", {"prefix suffix"}},
      {"tab\there", {"tab\there"}},  // only the space separates
      {" lead trail ", {"lead", "trail"}},
      {"    ", {}},
  };
  service record;  // one record: each call must replace the previous list
  for (const auto& [parameter, expected] : cases) {
    record.Setparameter(parameter);
    EXPECT_EQ(record.parameter_list, expected) << "[" << parameter << "]";
    EXPECT_EQ(record.parameter, parameter);
  }
}

// The scheduler's queue relies on this order, microseconds included.
TEST(Service, OrderFollowsTheNextRunTime) {
  auto due = [](long seconds, long micros) {
    service timed;
    timed.next_exec_time = {seconds, micros};
    return timed;
  };
  EXPECT_TRUE(due(10, 5) < due(10, 7) && due(9, 999999) < due(10, 5) && due(11, 0) > due(10, 7));
  EXPECT_FALSE(due(10, 7) < due(10, 5) || due(10, 5) < due(10, 5) || due(10, 5) > due(10, 5));
}

}  // namespace
