// kovaFlowCapture: one run that brings the capture processes in step with
// flows_channel, then exits.
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <memory>
#include <string>

#include "captureSettings.h"
#include "cleanup.h"
#include "connectLine.h"
#include "exceptions.h"
#include "iniConfig.h"
#include "log.h"
#include "metricsFile.h"
#include "pgConnectionPool.h"
#include "reconcile.h"

namespace {

const int kStatusOk = 0;
const int kStatusError = 1;
const int kStatusNoStderr = 2;

bool check_only = false;  // -t

// Unknown options are reported by getopt itself and otherwise ignored.
std::string parseOptions(int argc, char** argv) {
  std::string pathToConfigFile = "/etc/kova/flows.conf";
  int option;
  while ((option = getopt(argc, argv, "f:Dt")) != -1) {
    if (option == 'f') pathToConfigFile = optarg;
    if (option == 'D') debug = 1;
    if (option == 't') check_only = true;
  }
  return pathToConfigFile;
}

// The tools' diagnostics on standard error then land where ours do.
bool joinStderrToStdout() {
  if (dup2(STDOUT_FILENO, STDERR_FILENO) >= 0) return true;
  const std::string text =
      std::string("erreur de redirection de flux stderr (dup2): ") + strerror(errno);
  std::cout << text << std::endl;
  perror(text.c_str());
  return false;
}

// When the file cannot be opened the log stays on the standard output the
// program was started with, rather than being lost.
void openLog(const std::string& path) {
  if (!attachLogFile(path)) write_raw("ERROR can't open file " + path + "\n");
}

std::unique_ptr<pgConnectionPool> connect(iniConfig& config) {
  write_log("INFO", "KOVA Database connection ....");
  const std::string conninfo = buildConnectLine(config, "kovaFlowCapture");
  write_log("INFO", "Connection database....");
  auto pool = std::make_unique<pgConnectionPool>(conninfo, 1);
  write_log("INFO", "Connection database sucessful. Encoding: " + pool->getClientEncoding());
  return pool;
}

// -t: what a run reads and its connection, then the settings on standard
// output; no log file, no listing, no start, no row.
int check(iniConfig& config, const std::string& logPath) {
  const std::string conninfo = buildConnectLine(config, "kovaFlowCapture");
  pgConnectionPool pool(conninfo, 1);
  write_raw("LOG.log_daemon_capture=" + logPath + "\n" + connectionSettingsText(config) +
            captureSettingsText(readCaptureSettings(config), config));
  return kStatusOk;
}

int run(const std::string& pathToConfigFile) {
  const auto started = std::chrono::steady_clock::now();
  iniConfig config(pathToConfigFile);
  const std::string logPath = readLogPath(config);
  if (check_only) return check(config, logPath);
  if (!joinStderrToStdout()) return kStatusNoStderr;
  openLog(logPath);
  std::unique_ptr<pgConnectionPool> pool = connect(config);
  const CaptureSettings settings = readCaptureSettings(config);
  service listing = makeListingRecord(settings.ps);
  reconcileChannels(*pool, listing, settings);
  cleanDeletedChannels(*pool, listing, settings);
  pool.reset();
  writeMetricsTextfile(
      settings.metrics_textfile,
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
  write_log("INFO", "END PROGRAM");
  return kStatusOk;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string pathToConfigFile = parseOptions(argc, argv);
  // The log file stays attached to std::cout until main returns, so every
  // handler writes into the log once it has been opened.
  try {
    return run(pathToConfigFile);
  } catch (const serviceException& error) {
    write_raw(std::string("Service exepcetion") + error.what() + "\n");
  } catch (const PostgresqlException& error) {
    write_raw(std::string(error.what()) + "\n");
  } catch (const FileException&) {
    write_raw("error can't open file: " + pathToConfigFile + "\n");
  } catch (const std::exception& error) {
    write_raw(std::string(error.what()) + "\n");
  }
  return kStatusError;
}
