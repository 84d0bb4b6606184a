// Tests of the service record: parameter splitting, load weight, id text and ordering.
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

TEST(Service, LoadIdTextAndOrder) {
  service record;
  for (const auto& [interval, load] : std::vector<std::pair<int, float>>{
           {60000, 5.0f}, {7000, 42.0f}, {300001, 0.0f}, {1, 300000.0f}}) {
    record.Setinterval_exec_time(interval);
    EXPECT_EQ(record.load, load) << interval;
  }
  record.SetService_id(18446744073709551615ull);
  EXPECT_EQ(record.Service_id_str, "18446744073709551615");
  auto due = [](long seconds, long micros) {
    service timed;
    timed.next_exec_time = {seconds, micros};
    return timed;
  };
  EXPECT_TRUE(due(10, 5) < due(10, 7) && due(9, 999999) < due(10, 5) && due(11, 0) > due(10, 7));
  EXPECT_FALSE(due(10, 7) < due(10, 5) || due(10, 5) < due(10, 5) || due(10, 5) > due(10, 5));
}

}  // namespace
