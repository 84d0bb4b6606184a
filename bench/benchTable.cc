// Table layout: fixed-width columns, numbers with the figure's precision.
#include "benchTable.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace kova_bench {

namespace {

std::string number(double value, int decimals) {
  char text[64];
  snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string padded(const std::string& text, size_t width) {
  // Widths count bytes; every label and unit here is ASCII.
  return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

// Without the padding of empty last columns.
std::string trimmed(std::string text) {
  text.erase(text.find_last_not_of(' ') + 1);
  return text;
}

std::string row(const Figure& figure) {
  if (figure.values.empty()) return padded(figure.label, 52) + "not measured\n";
  const auto [low, high] = std::minmax_element(figure.values.begin(), figure.values.end());
  const double middle = median(figure.values);
  std::string verdict;
  if (figure.meets) verdict = figure.meets(middle) ? "met" : "MISSED";
  return trimmed(
             padded(figure.label, 52) +
             padded(number(middle, figure.decimals) + " " + figure.unit, 20) +
             padded(number(*low, figure.decimals) + " - " + number(*high, figure.decimals), 22) +
             padded(figure.goal, 12) + verdict) +
         "\n";
}

}  // namespace

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

std::string formatTable(const std::vector<std::string>& heading,
                        const std::vector<Figure>& figures) {
  std::ostringstream text;
  for (const std::string& line : heading) text << line << "\n";
  text << "\n"
       << trimmed(padded("figure", 52) + padded("median", 20) + padded("min - max", 22) + "goal")
       << "\n";
  int goals = 0;
  int met = 0;
  for (const Figure& figure : figures) {
    text << row(figure);
    if (!figure.meets || figure.values.empty()) continue;
    ++goals;
    met += figure.meets(median(figure.values)) ? 1 : 0;
  }
  text << "\ngoals met: " << met << " of " << goals << "\n";
  return text.str();
}

}  // namespace kova_bench
