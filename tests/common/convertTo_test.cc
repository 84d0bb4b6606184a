// Numbers read from database rows and configuration values: out-of-range and odd
// texts must clamp or wrap the way operators have always seen them, never crash.
#include "convertTo.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

namespace {

TEST(StringToNumber, ReadsLikeStreamExtractionClampingAndWrapping) {
  const std::vector<std::tuple<std::string, int32_t, uint32_t>> cases = {
      {" 300.000000", 300, 300},
      {"", 0, 0},
      {"abc", 0, 0},
      {"-12x", -12, static_cast<uint32_t>(-12)},
      {"\t+42", 42, 42},
      {"2147483648", INT32_MAX, 2147483648u},
      {"-2147483649", INT32_MIN, static_cast<uint32_t>(-2147483649LL)},
      {"4294967296", INT32_MAX, UINT32_MAX}};
  for (const auto& [text, asInt, asUnsigned] : cases) {
    EXPECT_EQ(stringToInt(text), asInt) << "'" << text << "'";
    EXPECT_EQ(stringToUnsignedInt(text), asUnsigned) << "'" << text << "'";
  }
  EXPECT_EQ(stringToLong("9223372036854775808"), INT64_MAX);
  EXPECT_EQ(stringToLong("-9223372036854775809"), INT64_MIN);
  for (auto convert : {stringToLongInt, stringToLongLongInt})
    EXPECT_EQ(std::vector({convert("18446744073709551616"), convert("-1"), convert("x1")}),
              std::vector({UINT64_MAX, UINT64_MAX, uint64_t{0}}));
  EXPECT_DOUBLE_EQ(stringToDouble("2.5e3x"), 2500.0);
  EXPECT_EQ(stringToDouble("1e999"), DBL_MAX);
}

}  // namespace
