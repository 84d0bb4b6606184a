// Tests of trimming and of the text/number conversions, limits and odd inputs included.
#include <gtest/gtest.h>

#include <cfloat>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "convertTo.h"

namespace {

TEST(Trim, RemovesTheSixWhiteSpaceCharactersAtEachEnd) {
  const std::string blanks = " \n\r\t\f\v";
  EXPECT_EQ(trim(blanks + "a b" + blanks), "a b");
  EXPECT_EQ(ltrim(blanks + "a b" + blanks), "a b" + blanks);
  EXPECT_EQ(rtrim(blanks + "a b" + blanks), blanks + "a b");
  for (const std::string& empty : {std::string(), blanks, std::string(" \t \t")}) {
    EXPECT_EQ(trim(empty), "");
    EXPECT_EQ(ltrim(empty), "");
    EXPECT_EQ(rtrim(empty), "");
  }
}

TEST(StringToNumber, ReadsLikeStreamExtraction) {
  struct Case {
    std::string text;
    int32_t asInt;
    uint32_t asUnsigned;
  };
  const std::vector<Case> cases = {
      {"300", 300, 300},
      {" 300", 300, 300},
      {"300.000000", 300, 300},
      {"", 0, 0},
      {"   ", 0, 0},
      {"abc", 0, 0},
      {"-12x", -12, static_cast<uint32_t>(-12)},  // unsigned wraps
      {"\t+42", 42, 42},
      {"2147483648", INT32_MAX, 2147483648u},
      {"-2147483649", INT32_MIN, static_cast<uint32_t>(-2147483649LL)},
      {"4294967296", INT32_MAX, UINT32_MAX},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(stringToInt(c.text), c.asInt) << "'" << c.text << "'";
    EXPECT_EQ(stringToUnsignedInt(c.text), c.asUnsigned) << "'" << c.text << "'";
  }
}

TEST(StringToNumber, WideTypesClampAndWrap) {
  EXPECT_EQ(stringToLong("9223372036854775808"), INT64_MAX);
  EXPECT_EQ(stringToLong("-9223372036854775809"), INT64_MIN);
  EXPECT_EQ(stringToLong(" -5 7"), -5);
  for (auto convert : {stringToLongInt, stringToLongLongInt}) {
    EXPECT_EQ(convert("18446744073709551615"), UINT64_MAX);
    EXPECT_EQ(convert("18446744073709551616"), UINT64_MAX);
    EXPECT_EQ(convert("-1"), UINT64_MAX);
    EXPECT_EQ(convert("x1"), 0u);
  }
  EXPECT_DOUBLE_EQ(stringToDouble("2.5e3x"), 2500.0);
  EXPECT_DOUBLE_EQ(stringToDouble(" -.5"), -0.5);
  EXPECT_EQ(stringToDouble("abc"), 0.0);
  EXPECT_EQ(stringToDouble("1e999"), DBL_MAX);
}

TEST(NumberToString, UsesDefaultStreamFormatting) {
  EXPECT_EQ(intToString(INT32_MIN), "-2147483648");
  EXPECT_EQ(longToString(INT64_MIN), "-9223372036854775808");
  EXPECT_EQ(longIntToString(-1), "-1");
  EXPECT_EQ(unsignedLongIntToString(UINT64_MAX), "18446744073709551615");
  EXPECT_EQ(unsignedLongLongIntToString(0), "0");
  const std::vector<std::pair<double, std::string>> doubles = {
      {2.5, "2.5"}, {0.1, "0.1"}, {1234567, "1.23457e+06"}, {100, "100"},
      {-0.000012345678, "-1.23457e-05"}};
  for (const auto& [value, text] : doubles) EXPECT_EQ(doubleToString(value), text);
}

}  // namespace
