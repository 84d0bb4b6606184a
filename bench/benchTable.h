// The benchmark's table: one line per figure, median and range of the
// repetitions, the goal and whether the median meets it.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace kova_bench {

struct Figure {
  std::string label;
  std::string unit;
  int decimals = 1;
  std::vector<double> values;  // one per repetition
  std::string goal;            // as printed; empty when the figure has none
  std::function<bool(double median)> meets;
};

// Median of values (mean of the middle two for an even count); 0 when empty.
double median(std::vector<double> values);

// The heading lines, then a header row and one row per figure, then a
// summary line counting the goals met.
std::string formatTable(const std::vector<std::string>& heading,
                        const std::vector<Figure>& figures);

}  // namespace kova_bench
