// Log line formatting and the process-wide log lock.
#include "log.h"

#include <fcntl.h>
#include <ext/stdio_filebuf.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <iostream>
#include <utility>

#include "mutexLock.h"

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
  MutexLock lock(&mutex_log_system);
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  std::cout << asctimeText(local) << '#' << level << '#' << message << '\n';
  std::cout.flush();
}

void Trace(std::string message) {
  if (debug == 1 || debug == 2) write_log("DEBUG", std::move(message));
}

void write_raw(const std::string& text) {
  MutexLock lock(&mutex_log_system);
  std::cout << text;
  std::cout.flush();
}

namespace {
// Deliberately never destroyed: std::cout flushes through the attached
// buffer during exit, after static destructors have run. Still reachable
// from here, so it is no leak.
__gnu_cxx::stdio_filebuf<char>* log_buffer = nullptr;  // guarded by mutex_log_system
std::string log_path;                                  // guarded by mutex_log_system

// Makes fd (opened on path) the buffer of std::cout; the buffer it replaces
// is closed once std::cout no longer uses it.
void installLogDescriptor(int fd, const std::string& path) {
  auto* buffer = new __gnu_cxx::stdio_filebuf<char>(fd, std::ios::out);
  {
    MutexLock lock(&mutex_log_system);
    std::cout.flush();
    std::cout.rdbuf(buffer);
    std::swap(log_buffer, buffer);
    log_path = path;
  }
  delete buffer;
}

}  // namespace

bool attachLogFile(const std::string& path) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  installLogDescriptor(fd, path);
  return true;
}

bool reopenLogFile() {
  std::string path;
  {
    MutexLock lock(&mutex_log_system);
    path = log_path;
  }
  if (path.empty()) return false;
  // Appending: a file put back at the path (or one that was never moved)
  // keeps what it holds.
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) {
    write_log("ERR", "can't reopen log file " + path + ": " + strerror(errno));
    return false;
  }
  installLogDescriptor(fd, path);
  write_log("INFO", "log file reopened");
  return true;
}
