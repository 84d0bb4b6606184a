// Readers of /proc: one file per call, parsed the way the kernel writes it.
#include "procStats.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

namespace kova_bench {

namespace {

std::string fileText(const std::string& path) {
  std::ifstream file(path);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// The value after "key:" in a "key:   value unit" file (status, meminfo,
// cpuinfo); empty when absent.
std::string fieldOf(const std::string& text, const std::string& key) {
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.compare(0, key.size(), key) != 0) continue;
    const std::string::size_type colon = line.find(':');
    if (colon == std::string::npos) continue;
    const std::string::size_type start = line.find_first_not_of(" \t", colon + 1);
    return start == std::string::npos ? std::string() : line.substr(start);
  }
  return std::string();
}

double statusMiB(pid_t pid, const std::string& key) {
  const std::string value = fieldOf(fileText("/proc/" + std::to_string(pid) + "/status"), key);
  return value.empty() ? 0 : std::stod(value) / 1024.0;  // the kernel writes kB
}

// Fields of /proc/<pid>/stat after the command name: state is index 0.
std::vector<std::string> statFields(pid_t pid) {
  const std::string text = fileText("/proc/" + std::to_string(pid) + "/stat");
  // The command name is in parentheses and may hold blanks: fields are
  // counted from the last ')' on. After it, field 3 (state) is index 0, so
  // utime, stime, cutime, cstime (fields 14 to 17) are indexes 11 to 14.
  const std::string::size_type close = text.rfind(')');
  if (close == std::string::npos)
    throw std::runtime_error("process " + std::to_string(pid) + " is gone");
  std::istringstream fields(text.substr(close + 2));
  std::vector<std::string> values;
  for (std::string value; fields >> value;) values.push_back(value);
  if (values.size() < 15) throw std::runtime_error("unexpected /proc/<pid>/stat format");
  return values;
}

}  // namespace

double serverCpu(pid_t postmaster) {
  double total = processCpu(postmaster).total();
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    try {
      const std::vector<std::string> values = statFields(std::stoi(name));
      if (std::stoi(values[1]) == postmaster && std::stoi(name) != postmaster)
        total += processCpu(std::stoi(name)).self;
    } catch (const std::exception&) {
      // Ended meanwhile: the postmaster's reaped total has it.
    }
  }
  return total;
}

pid_t parentOf(pid_t pid) { return std::stoi(statFields(pid)[1]); }

ProcessCpu processCpu(pid_t pid) {
  const std::vector<std::string> values = statFields(pid);
  const double tick = 1.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
  ProcessCpu cpu;
  cpu.self = (std::stod(values[11]) + std::stod(values[12])) * tick;
  cpu.children = (std::stod(values[13]) + std::stod(values[14])) * tick;
  return cpu;
}

double residentMiB(pid_t pid) { return statusMiB(pid, "VmRSS"); }

double peakResidentMiB(pid_t pid) { return statusMiB(pid, "VmHWM"); }

MachineCpu machineCpu() {
  std::istringstream line(fileText("/proc/stat"));
  std::string label;
  line >> label;  // "cpu"
  MachineCpu cpu;
  unsigned long long value = 0;
  for (int index = 0; index < 8 && line >> value; ++index) {
    cpu.total += value;
    if (index != 3 && index != 4) cpu.busy += value;  // idle, iowait
  }
  return cpu;
}

double busyShare(const MachineCpu& before, const MachineCpu& after) {
  const unsigned long long total = after.total - before.total;
  return total == 0 ? 0
                    : static_cast<double>(after.busy - before.busy) / static_cast<double>(total);
}

std::string machineDescription() {
  const std::string model = fieldOf(fileText("/proc/cpuinfo"), "model name");
  const std::string memory = fieldOf(fileText("/proc/meminfo"), "MemTotal");
  const double gib = memory.empty() ? 0 : std::stod(memory) / (1024.0 * 1024.0);
  struct utsname names {};
  uname(&names);
  std::ostringstream text;
  text.precision(0);
  text << std::fixed << (model.empty() ? "unknown CPU" : model) << ", "
       << std::thread::hardware_concurrency() << " cores, " << gib << " GiB, Linux "
       << names.release;
  return text.str();
}

}  // namespace kova_bench
