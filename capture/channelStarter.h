// Starting the capture tool of one channel and checking that it stayed up.
#pragma once

#include <map>
#include <string>

#include "captureCommand.h"
#include "captureSettings.h"

// Lives for one reconciliation pass; asks each tool its version once, before
// its first start, and reuses the answer. Single-threaded.
class ChannelStarter {
 public:
  explicit ChannelStarter(const CaptureSettings& settings);
  ChannelStarter(const ChannelStarter&) = delete;
  ChannelStarter& operator=(const ChannelStarter&) = delete;

  // Creates the channel's directory, clears a leftover pid file, starts the
  // tool through the command runner and waits for its pid file. Every
  // failure is logged and ends this channel's start only; nothing throws.
  // A tool that does not come up gets one "ERR" line naming the channel,
  // the port and what the tool wrote on standard error. True when the tool
  // runs.
  bool start(const Channel& channel);

 private:
  StartForm formFor(const std::string& toolPath);
  bool makeDirectory(const Channel& channel, const std::string& directory);

  const CaptureSettings& settings_;
  std::map<std::string, StartForm> forms_;  // by tool path
};
