// Tests of the capture supervisor's text rules: tool versions, process ids
// read from listings, usable channels, and capture directory creation.
#include "captureCommand.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include "cleanup.h"
#include "createDirectoryIfNotExist.h"
#include "testUtil.h"

namespace {

TEST(ToolVersion, OnlyVersionsReadAsOneSixOrOlderGetTheLegacyForm) {
  const struct {
    const char* output;
    bool known;
    StartForm form;
  } cases[] = {
      {"/usr/bin/nfcapd: Version: 1.7.1\n", true, StartForm::kDirectory},
      {"sfcapd: Version: 1.6.23\n", true, StartForm::kLegacy},
      {"nfcapd: Version: 1.5.8-NSEL\n", true, StartForm::kLegacy},
      {"nfcapd: Version: 1.10.0\n", true, StartForm::kDirectory},  // not compared as text
      {"DAEMON: plugin is not executable No such file\n", false, StartForm::kDirectory},
      {"nfcapd: Version: unknown\n", false, StartForm::kDirectory},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parseToolVersion(c.output).known, c.known) << c.output;
    EXPECT_EQ(startFormFor(parseToolVersion(c.output)), c.form) << c.output;
  }
}

TEST(ListingProcessId, OnlyAPlainIdAboveOneIsEverSignalled) {
  const std::string tool = "/usr/bin/nfcapd";
  const struct {
    const char* line;
    pid_t pid;
  } cases[] = {
      {"  471 /usr/bin/nfcapd -w -D -p 2055 ", 471},
      {"471 nfcapd -D -p 2055 ", 471},  // started under another path
      {"0 /usr/bin/nfcapd -p 2055 ", 0},
      {"1 /usr/bin/nfcapd -p 2055 ", 0},
      {"-12 /usr/bin/nfcapd -p 2055 ", 0},
      {"+12 /usr/bin/nfcapd -p 2055 ", 0},
      {"abc /usr/bin/nfcapd -p 2055 ", 0},
      {"12abc /usr/bin/nfcapd -p 2055 ", 0},
      {"4294967308 /usr/bin/nfcapd -p 2055 ", 0},  // would wrap to 12
      {"", 0},
  };
  for (const auto& c : cases) {
    std::string text;
    EXPECT_EQ(listingProcessId(c.line, tool, &text), c.pid) << c.line;
  }
}

TEST(UnusableChannel, PortMustBeAUdpPortAndNameOneDirectoryLevel) {
  for (const char* port : {"0", "65536", "20a", " 2055", ""})
    EXPECT_NE(unusableChannelReason({"edge1", "netflow", port}), "") << port;
  for (const char* name : {"", ".", "..", "a/b"})
    EXPECT_NE(unusableChannelReason({name, "netflow", "2055"}), "") << name;
  EXPECT_EQ(unusableChannelReason({"edge 1", "sflow", "65535"}), "");
}

TEST(CreateDirectoryIfNotExist, CreatesOneLevelAndLeavesWhatExists) {
  kova_test::TempDir dir;
  EXPECT_EQ(createDirectoryIfNotExist(dir.file("edge1")), 0);
  EXPECT_TRUE(boost::filesystem::is_directory(dir.file("edge1")));
  kova_test::writeFile(dir.file("plain"), "x");
  EXPECT_EQ(createDirectoryIfNotExist(dir.file("plain")), 0);
  EXPECT_EQ(kova_test::readFile(dir.file("plain")), "x");
  EXPECT_THROW(createDirectoryIfNotExist(dir.file("missing/edge1")),
               boost::filesystem::filesystem_error);
}

}  // namespace
