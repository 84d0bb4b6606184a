// Log line formatting and the process-wide log lock.
#include "log.h"

#include <fcntl.h>
#include <ext/stdio_filebuf.h>

#include <ctime>
#include <iostream>
#include <memory>

pthread_mutex_t mutex_log_system = PTHREAD_MUTEX_INITIALIZER;
int debug = 0;

std::string asctimeText(const struct tm& local) {
  char buffer[64];
  // asctime_r is the reentrant asctime; the log is written from many threads.
  if (asctime_r(&local, buffer) == nullptr) return std::string();
  std::string text(buffer);
  std::string::size_type end = text.rfind('\n');
  if (end != std::string::npos) text.erase(end);
  return text;
}

void write_log(std::string level, std::string message) {
  pthread_mutex_lock(&mutex_log_system);
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  std::cout << asctimeText(local) << '#' << level << '#' << message << '\n';
  std::cout.flush();
  pthread_mutex_unlock(&mutex_log_system);
}

void Trace(std::string message) {
  if (debug == 1 || debug == 2) write_log("DEBUG", std::move(message));
}

void write_raw(const std::string& text) {
  pthread_mutex_lock(&mutex_log_system);
  std::cout << text;
  std::cout.flush();
  pthread_mutex_unlock(&mutex_log_system);
}

namespace {
// The attached log file lives until the process ends: std::cout keeps using
// its buffer through exit-time flushing.
std::unique_ptr<__gnu_cxx::stdio_filebuf<char>> log_buffer;
}  // namespace

bool attachLogFile(const std::string& path) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  auto buffer = std::make_unique<__gnu_cxx::stdio_filebuf<char>>(fd, std::ios::out);
  pthread_mutex_lock(&mutex_log_system);
  std::cout.flush();
  std::cout.rdbuf(buffer.get());
  log_buffer.swap(buffer);
  pthread_mutex_unlock(&mutex_log_system);
  // A previously attached buffer (tests attach twice) is closed here, after
  // std::cout stopped using it.
  return true;
}
