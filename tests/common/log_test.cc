// Tests of the log line layout, Trace's debug switch and the attached log file.
#include "log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <iostream>
#include <thread>

#include "testUtil.h"

namespace {

// True when line is "<stamp of a second in [from, time(nullptr)]>" + tail.
bool isLogLine(const std::string& line, time_t from, const std::string& tail) {
  for (time_t when = from; when <= time(nullptr); ++when) {
    struct tm local;
    if (line == asctimeText(*localtime_r(&when, &local)) + tail) return true;
  }
  return false;
}

TEST(Log, LinesAreAsctimeStampLevelAndMessageUnchangedAndNeverInterleave) {
  struct tm day {};
  day.tm_year = 126, day.tm_mon = 2, day.tm_mday = 1, day.tm_hour = 9, day.tm_min = 5,
  day.tm_sec = 7;
  EXPECT_EQ(asctimeText(day), "Sun Mar  1 09:05:07 2026");
  kova_test::CoutCapture capture;
  const time_t before = time(nullptr);
  write_log("ERR", "deux\nlignes #x#");
  for (int level : {0, 1, 2, 3}) {
    debug = level;
    Trace("trace " + std::to_string(level));
  }
  debug = 0;
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t)
    writers.emplace_back([t] {
      for (int n = 0; n < 100; ++n)
        write_log("INFO", "writer " + std::to_string(t) + " line " + std::to_string(n));
    });
  for (std::thread& writer : writers) writer.join();
  const std::vector<std::string> lines = kova_test::splitLines(capture.text.str());
  ASSERT_EQ(lines.size(), 404u) << capture.text.str();
  EXPECT_TRUE(isLogLine(lines[0], before, "#ERR#deux")) << lines[0];
  EXPECT_EQ(lines[1], "lignes #x#");
  EXPECT_TRUE(isLogLine(lines[2], before, "#DEBUG#trace 1")) << lines[2];
  EXPECT_TRUE(isLogLine(lines[3], before, "#DEBUG#trace 2")) << lines[3];
  for (size_t i = 4; i < lines.size(); ++i)
    EXPECT_EQ(lines[i].find("#INFO#writer "), 24u) << lines[i];
  EXPECT_EQ(capture.text.str().back(), '\n');
}

// In a child of its own: std::cout is flushed after static destructors have run, so text still
// buffered at exit must reach the file, through a buffer that still exists. (The daemon tests
// show an old log emptied and a log that cannot be opened.)
TEST(Log, AttachedFileIsCloseOnExecAndOutlivesTheExitFlush) {
  kova_test::TempDir dir;
  const std::string path = dir.file("kova.log");
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (!attachLogFile(path)) _exit(3);
    write_log("INFO", "to file");
    write_raw("raw\n");
    int close_on_exec = 0, kept = 0;  // descriptors open on the file
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
      if (std::filesystem::read_symlink(entry.path(), ignored) == path)
        ++(fcntl(std::stoi(entry.path().filename()), F_GETFD) & FD_CLOEXEC ? close_on_exec : kept);
    if (close_on_exec != 1 || kept != 0) _exit(4);
    std::cout << "unflushed tail";
    std::exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_EQ(kova_test::exitCode(status), 0);
  const std::string content = kova_test::readFile(path);
  EXPECT_TRUE(content.ends_with("#INFO#to file\nraw\nunflushed tail")) << content;
}

}  // namespace
