// Tests of the capture supervisor's text rules: tool versions, process ids
// read from listings and usable channels.
#include "captureCommand.h"

#include <gtest/gtest.h>

#include <utility>

#include "cleanup.h"

namespace {

TEST(ToolVersion, OnlyVersionsReadAsOneSixOrOlderGetTheLegacyForm) {
  const std::pair<const char*, StartForm> cases[] = {
      {"nfcapd: Version: 1.5.8-NSEL\n", StartForm::kLegacy},
      {"nfcapd: Version: 1.10.0\n", StartForm::kDirectory},  // not compared as text
      {"nfcapd: Version: unknown\n", StartForm::kDirectory},
  };
  for (const auto& [output, form] : cases)
    EXPECT_EQ(startFormFor(parseToolVersion(output)), form) << output;
}

TEST(ListingProcessId, OnlyAPlainIdAboveOneIsEverSignalled) {
  const std::string tool = "/usr/bin/nfcapd";
  std::string text;
  // 4294967308 would wrap to 12.
  for (const char* id : {"0", "1", "-12", "+12", "abc", "12abc", "4294967308", ""})
    EXPECT_EQ(listingProcessId(std::string(id) + " /usr/bin/nfcapd -p 2055 ", tool, &text), 0)
        << id;
}

TEST(UnusableChannel, PortMustBeAUdpPortAndNameOneDirectoryLevel) {
  for (const char* port : {"0", "65536", "20a", " 2055", ""})
    EXPECT_NE(unusableChannelReason({"edge1", "netflow", port}), "") << port;
  for (const char* name : {"", ".", "..", "a/b"})
    EXPECT_NE(unusableChannelReason({name, "netflow", "2055"}), "") << name;
  EXPECT_EQ(unusableChannelReason({"edge 1", "sflow", "65535"}), "");
}

}  // namespace
