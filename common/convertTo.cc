// Conversions: every reader goes through one stream-extraction template so
// that the quirks (no number gives 0, clamping, unsigned wrap) are uniform.
#include "convertTo.h"

#include <sstream>

namespace {

const char* const kWhiteSpace = " \n\r\t\f\v";

// Stream extraction leaves the target at 0 when nothing can be read and at
// the type's limit on overflow (failbit set in both cases); both are the
// documented results, so the stream state is not inspected.
template <typename T>
T readNumber(const std::string& text) {
  std::istringstream stream(text);
  T value = 0;
  stream >> value;
  return value;
}

template <typename T>
std::string writeNumber(T value) {
  std::ostringstream stream;
  stream << value;
  return stream.str();
}

}  // namespace

std::string ltrim(const std::string& s) {
  std::string::size_type start = s.find_first_not_of(kWhiteSpace);
  return start == std::string::npos ? std::string() : s.substr(start);
}

std::string rtrim(const std::string& s) {
  std::string::size_type end = s.find_last_not_of(kWhiteSpace);
  return end == std::string::npos ? std::string() : s.substr(0, end + 1);
}

std::string trim(const std::string& s) { return rtrim(ltrim(s)); }

int32_t stringToInt(std::string text) { return readNumber<int32_t>(text); }
uint32_t stringToUnsignedInt(std::string text) { return readNumber<uint32_t>(text); }
int64_t stringToLong(std::string text) { return readNumber<int64_t>(text); }
uint64_t stringToLongInt(std::string text) { return readNumber<uint64_t>(text); }
uint64_t stringToLongLongInt(std::string text) { return readNumber<uint64_t>(text); }
double stringToDouble(std::string text) { return readNumber<double>(text); }

std::string intToString(int value) { return writeNumber(value); }
std::string longToString(long value) { return writeNumber(value); }
std::string longIntToString(long value) { return writeNumber(value); }
std::string unsignedLongIntToString(unsigned long value) { return writeNumber(value); }
std::string unsignedLongLongIntToString(unsigned long long value) { return writeNumber(value); }
std::string doubleToString(double value) { return writeNumber(value); }
