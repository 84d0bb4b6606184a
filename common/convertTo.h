// Trimming and text/number conversions with stream-extraction semantics.
#pragma once

#include <cstdint>
#include <string>

// White space is space, line feed, carriage return, tab, form feed, vertical tab.
std::string ltrim(const std::string& s);
std::string rtrim(const std::string& s);
std::string trim(const std::string& s);

// Text to number as std::istringstream extraction reads it: leading white
// space skipped, optional sign, digits up to the first misfit. No number at
// the start gives 0; out-of-range values give the nearest limit; unsigned
// types accept a leading minus and wrap.
int32_t stringToInt(std::string text);
uint32_t stringToUnsignedInt(std::string text);
int64_t stringToLong(std::string text);
uint64_t stringToLongInt(std::string text);
uint64_t stringToLongLongInt(std::string text);
double stringToDouble(std::string text);

// Number to text with default stream formatting (doubles: 6 significant digits).
std::string intToString(int value);
std::string longToString(long value);
std::string longIntToString(long value);
std::string unsignedLongIntToString(unsigned long value);
std::string unsignedLongLongIntToString(unsigned long long value);
std::string doubleToString(double value);
