// Small helpers for tests: temporary directories, files, scripts, waiting.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace kova_test {

// A fresh directory under /tmp, removed with its contents on destruction.
class TempDir {
 public:
  TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void writeFile(const std::string& path, const std::string& content);
// Writes "#!/bin/sh\n" + body and makes it executable.
void writeScript(const std::string& path, const std::string& body);
// Whole file; empty when it cannot be read.
std::string readFile(const std::string& path);
std::vector<std::string> splitLines(const std::string& text);
bool contains(const std::string& text, const std::string& part);

// Sends std::cout to a string for the life of the object.
struct CoutCapture {
  std::ostringstream text;
  std::streambuf* saved = std::cout.rdbuf(text.rdbuf());
  ~CoutCapture() { std::cout.rdbuf(saved); }
};

// The descriptors a process ("self" or a pid) holds open.
std::set<int> openDescriptors(const std::string& process = "self");
// Gone, or a zombie nobody has reaped yet.
bool processEnded(pid_t pid);

// Polls predicate every 20 ms until it is true or timeout passes.
bool waitFor(const std::function<bool()>& predicate,
             std::chrono::milliseconds timeout = std::chrono::seconds(20));

// A process started with fork/exec, arguments as given; killed (SIGKILL)
// and reaped on destruction if still running.
class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& argv);
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();
  int pid() const { return pid_; }
  // Sends sig (if still running).
  void signal(int sig);
  // Waits up to timeout; returns the raw wait status, or -1 on time-out.
  int wait(std::chrono::milliseconds timeout = std::chrono::seconds(30));
  bool running();

 private:
  int pid_;
  bool reaped_ = false;
  int status_ = 0;
};

// Exit code of a finished child from a raw wait status, -1 when it did not
// exit normally.
int exitCode(int status);

}  // namespace kova_test
