// Pid files and /proc: the only trace a detached capture tool leaves of a
// start that failed after it let its parent return.
#include "pidFile.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

#include "convertTo.h"
#include "log.h"

namespace {

const int kPollMilliseconds = 20;
const int kWaitMilliseconds = 2000;

void sleepMilliseconds(int milliseconds) {
  struct timespec pause = {0, milliseconds * 1000000L};
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

}  // namespace

pid_t plainPid(const std::string& text) {
  if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
    return 0;
  const long long value = std::stoll(text);
  return value > 0 && value <= INT_MAX ? static_cast<pid_t>(value) : 0;
}

pid_t readPidFile(const std::string& path) {
  std::ifstream file(path);
  if (!file.is_open()) return 0;
  std::ostringstream content;
  content << file.rdbuf();
  return plainPid(trim(content.str()));
}

bool isRunningCaptureTool(pid_t pid) {
  if (pid <= 0) return false;
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  if (!std::getline(file, stat)) return false;
  // "<pid> (<comm>) <state> ...": comm may itself hold parentheses.
  const std::string::size_type open = stat.find('(');
  const std::string::size_type close = stat.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close + 2 >= stat.size())
    return false;
  const std::string command = stat.substr(open + 1, close - open - 1);
  const char state = stat[close + 2];
  if (state == 'Z' || state == 'X') return false;
  return command == "nfcapd" || command == "sfcapd";
}

pid_t removeLeftoverPidFile(const std::string& path) {
  if (access(path.c_str(), F_OK) != 0) return 0;
  const pid_t pid = readPidFile(path);
  if (isRunningCaptureTool(pid)) return pid;
  if (unlink(path.c_str()) == 0) {
    write_log("INFO", "leftover pid file removed: " + path + " (process " + std::to_string(pid) +
                          " is not a running capture tool)");
  } else if (errno != ENOENT) {
    write_log("ERR", "cannot remove leftover pid file " + path + ": " + strerror(errno));
  }
  return 0;
}

bool waitForCaptureTool(const std::string& path, pid_t previous) {
  for (int waited = 0;; waited += kPollMilliseconds) {
    const pid_t pid = readPidFile(path);
    if (pid != previous && isRunningCaptureTool(pid)) return true;
    if (waited >= kWaitMilliseconds) return false;
    sleepMilliseconds(kPollMilliseconds);
  }
}
