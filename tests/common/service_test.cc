// Tests of the service record: how the parameter text splits into arguments.
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

}  // namespace
