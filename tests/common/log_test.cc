// Tests of the log line layout, Trace's debug switch and the attached log file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log.h"
#include "testUtil.h"

namespace {

// Sends std::cout to a string for the life of the object.
class CaptureCout {
 public:
  CaptureCout() : saved_(std::cout.rdbuf(captured_.rdbuf())) {}
  ~CaptureCout() { std::cout.rdbuf(saved_); }
  std::string text() const { return captured_.str(); }

 private:
  std::ostringstream captured_;
  std::streambuf* saved_;
};

std::string localStamp(time_t when) {
  struct tm local;
  localtime_r(&when, &local);
  return asctimeText(local);
}

// True when line is "<stamp of a second in [from, to]>#level#message".
bool isLogLine(const std::string& line, time_t from, time_t to, const std::string& tail) {
  for (time_t when = from; when <= to; ++when)
    if (line == localStamp(when) + tail) return true;
  return false;
}

TEST(Log, AsctimeLayoutWithoutLineFeed) {
  struct Case {
    int year, month, day, weekday, hour, minute, second;
    const char* text;
  };
  const std::vector<Case> cases = {
      {2026, 3, 1, 0, 9, 5, 7, "Sun Mar  1 09:05:07 2026"},
      {2026, 1, 12, 1, 8, 3, 9, "Mon Jan 12 08:03:09 2026"},
      {1999, 12, 31, 5, 23, 59, 59, "Fri Dec 31 23:59:59 1999"},
  };
  for (const Case& c : cases) {
    struct tm local {};
    local.tm_year = c.year - 1900;
    local.tm_mon = c.month - 1;
    local.tm_mday = c.day;
    local.tm_wday = c.weekday;
    local.tm_hour = c.hour;
    local.tm_min = c.minute;
    local.tm_sec = c.second;
    EXPECT_EQ(asctimeText(local), c.text);
  }
}

TEST(Log, WriteLogPrintsStampLevelAndMessageUnchanged) {
  CaptureCout capture;
  const time_t before = time(nullptr);
  write_log("INFO", "start");
  write_log("ERR", "deux\nlignes #x#");
  const time_t after = time(nullptr);
  const std::vector<std::string> lines = kova_test::splitLines(capture.text());
  ASSERT_EQ(lines.size(), 3u) << capture.text();
  EXPECT_TRUE(isLogLine(lines[0], before, after, "#INFO#start")) << lines[0];
  EXPECT_TRUE(isLogLine(lines[1], before, after, "#ERR#deux")) << lines[1];
  EXPECT_EQ(lines[2], "lignes #x#");
  EXPECT_EQ(capture.text().back(), '\n');
}

TEST(Log, TraceWritesOnlyAtDebugLevelsOneAndTwo) {
  for (int level : {0, 1, 2, 3}) {
    CaptureCout capture;
    debug = level;
    const time_t before = time(nullptr);
    Trace("trace");
    const time_t after = time(nullptr);
    debug = 0;
    if (level == 1 || level == 2) {
      EXPECT_TRUE(isLogLine(capture.text(), before, after, "#DEBUG#trace\n")) << capture.text();
    } else {
      EXPECT_EQ(capture.text(), "") << "debug " << level;
    }
  }
}

TEST(Log, LinesOfConcurrentWritersNeverInterleave) {
  CaptureCout capture;
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t)
    writers.emplace_back([t] {
      for (int n = 0; n < 100; ++n)
        write_log("INFO", "writer " + std::to_string(t) + " line " + std::to_string(n));
    });
  for (std::thread& writer : writers) writer.join();
  const std::vector<std::string> lines = kova_test::splitLines(capture.text());
  ASSERT_EQ(lines.size(), 400u);
  for (const std::string& line : lines) EXPECT_EQ(line.find("#INFO#writer "), 24u) << line;
}

TEST(Log, AttachedFileIsEmptiedReceivesLinesAndIsCloseOnExec) {
  kova_test::TempDir dir;
  const std::string path = dir.file("kova.log");
  kova_test::writeFile(path, "old content\n");
  std::streambuf* original = std::cout.rdbuf();
  EXPECT_FALSE(attachLogFile(dir.file("missing/kova.log")));
  EXPECT_EQ(std::cout.rdbuf(), original);
  ASSERT_TRUE(attachLogFile(path));
  write_log("INFO", "to file");
  write_raw("raw\n");
  int fd = -1;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
    if (std::filesystem::read_symlink(entry.path(), ignored) == path)
      fd = std::stoi(entry.path().filename());
  std::cout.rdbuf(original);
  const std::string content = kova_test::readFile(path);
  EXPECT_NE(content.find("#INFO#to file\nraw\n"), std::string::npos) << content;
  EXPECT_EQ(content.find("old content"), std::string::npos);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
}

TEST(Log, AttachedFileOutlivesTheExitFlush) {
  // std::cout is flushed after static destructors have run: text still
  // buffered at exit must reach the file, through a buffer that still exists.
  kova_test::TempDir dir;
  const std::string path = dir.file("exit.log");
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (!attachLogFile(path)) _exit(3);
    std::cout << "unflushed tail";
    std::exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_EQ(kova_test::exitCode(status), 0);
  EXPECT_EQ(kova_test::readFile(path), "unflushed tail");
}

}  // namespace
