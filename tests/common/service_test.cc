// Tests of the service record: parameter splitting, load weight, id text and ordering.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service.h"

namespace {

using Arguments = std::vector<std::string>;

TEST(Service, ParameterSplittingTable) {
  const std::vector<std::pair<std::string, Arguments>> cases = {
      {"-a 1  -b", {"-a", "1", "-b"}},
      {"-m \"two words\" 'x y'", {"-m", "two words", "x y"}},
      {"a\\ b", {"a\\", "b"}},                     // backslash is no escape
      {"-x \"\"", {"-x"}},                         // empty quotes give no argument
      {"\"it's\"", {"its"}},                       // quotes are interchangeable, left open
      {"\"a b' c", {"a b", "c"}},         // closed by the other quote
      {"pre\"fix suf\"fix", {"prefix suffix"}},
      {"tab\there", {"tab\there"}},                // only the space separates
      {" lead trail ", {"lead", "trail"}},
      {"", {}},
      {"    ", {}},
  };
  for (const auto& [parameter, expected] : cases) {
    service record;
    record.Setparameter(parameter);
    EXPECT_EQ(record.parameter_list, expected) << "[" << parameter << "]";
    EXPECT_EQ(record.parameter, parameter);
  }
}

TEST(Service, SetparameterReplacesThePreviousList) {
  service record;
  record.Setparameter("one two three");
  record.Setparameter("four");
  EXPECT_EQ(record.parameter_list, Arguments{"four"});
}

TEST(Service, LoadIsRunsPerFiveMinutesInWholeNumbers) {
  const std::vector<std::pair<int, float>> cases = {
      {60000, 5.0f}, {7000, 42.0f}, {1000, 300.0f}, {300001, 0.0f}, {400000, 0.0f}, {1, 300000.0f}};
  for (const auto& [interval, load] : cases) {
    service record;
    record.Setinterval_exec_time(interval);
    EXPECT_EQ(record.interval_exec_time, interval);
    EXPECT_EQ(record.load, load) << interval;
  }
}

TEST(Service, IdTextFollowsTheId) {
  service record;
  EXPECT_EQ(record.state, 0);
  EXPECT_EQ(record.load, 1.0f);
  record.SetService_id(18446744073709551615ull);
  EXPECT_EQ(record.Service_id, 18446744073709551615ull);
  EXPECT_EQ(record.Service_id_str, "18446744073709551615");
  record.SetService_id(0);
  EXPECT_EQ(record.Service_id_str, "0");
}

TEST(Service, OrderIsByDueTimeSecondsThenMicroseconds) {
  auto due = [](long seconds, long micros) {
    service record;
    record.next_exec_time = {seconds, micros};
    return record;
  };
  const service early = due(10, 5), later = due(10, 7), next = due(11, 0), same = due(10, 5);
  EXPECT_TRUE(early < later);
  EXPECT_FALSE(later < early);
  EXPECT_TRUE(next > early);
  EXPECT_TRUE(next > later);
  EXPECT_FALSE(early > later);
  EXPECT_TRUE(due(9, 999999) < early);  // seconds decide before microseconds
  EXPECT_FALSE(early < same);
  EXPECT_FALSE(early > same);
}

}  // namespace
