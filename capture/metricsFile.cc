// The textfile: written whole under another name, then renamed.
#include "metricsFile.h"

#include <sys/time.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "log.h"

namespace {

std::array<int, 4> channels{};  // by ChannelOutcome

std::string text(double run_seconds) {
  struct timeval now;
  gettimeofday(&now, nullptr);
  const char* states[] = {"running", "started", "failed", "stopped"};
  std::ostringstream out;
  out.precision(17);
  out << "# HELP kova_capture_channels Channels of the last capture run, by what the run found or did.\n"
         "# TYPE kova_capture_channels gauge\n";
  for (size_t i = 0; i < channels.size(); ++i)
    out << "kova_capture_channels{state=\"" << states[i] << "\"} " << channels[i] << "\n";
  out << "# HELP kova_capture_last_run_timestamp_seconds When the last capture run ended.\n"
         "# TYPE kova_capture_last_run_timestamp_seconds gauge\n"
      << "kova_capture_last_run_timestamp_seconds " << now.tv_sec + now.tv_usec / 1e6 << "\n"
      << "# HELP kova_capture_run_seconds How long the last capture run took.\n"
         "# TYPE kova_capture_run_seconds gauge\n"
      << "kova_capture_run_seconds " << run_seconds << "\n";
  return out.str();
}

bool writeWhole(const std::string& path, const std::string& content) {
  FILE* file = fopen(path.c_str(), "we");
  if (file == nullptr) return false;
  const bool written = fwrite(content.data(), 1, content.size(), file) == content.size();
  return fclose(file) == 0 && written;
}

}  // namespace

void countChannel(ChannelOutcome outcome) { ++channels[static_cast<size_t>(outcome)]; }

void writeMetricsTextfile(const std::string& path, double run_seconds) {
  if (path.empty()) return;
  // Not ending in .prom: the textfile collector skips it until renamed.
  const std::string temporary = path + ".tmp";
  if (writeWhole(temporary, text(run_seconds)) && rename(temporary.c_str(), path.c_str()) == 0)
    return;
  write_log("ERR", "metrics_textfile " + path + " not written: " + strerror(errno));
  remove(temporary.c_str());
}
