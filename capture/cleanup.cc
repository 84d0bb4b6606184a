// Clean-up of deleted channels. The listing is taken again for every row,
// since a tool signalled for one row may still be listed for the next.
#include "cleanup.h"

#include <signal.h>

#include <boost/algorithm/string/trim.hpp>
#include <vector>

#include "captureCommand.h"
#include "exceptions.h"
#include "log.h"
#include "metricsFile.h"
#include "pgResult.h"
#include "pidFile.h"
#include "process.h"

namespace {

const char kSelectDeleteChannel[] =
    "SELECT channel_id,channel_name,channel_protocol,channel_port,channel_ip_dist FROM "
    "flows_channel WHERE channel_delete=true";
const char kDeleteChannel[] = "DELETE FROM flows_channel WHERE channel_id=$1";

struct DeletedChannel {
  std::string id;
  Channel channel;
};

// Lines at each "\n"; a last piece without a line end is a line too.
std::vector<std::string> splitListing(const std::string& text) {
  std::vector<std::string> lines;
  std::string::size_type start = 0;
  while (start < text.size()) {
    std::string::size_type end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

enum class Listing { kListed, kNone, kUnknown };

// Runs the listing of tool ("nfcapd " or "sfcapd "). kNone when ps printed
// nothing, which is how it says that no process of that name runs; kUnknown
// when ps did not end in time.
Listing listTool(service& listing, const std::string& tool) {
  listing.Setparameter("-C " + tool + "-o pid,command --no-header ");
  try {
    return runBounded(listing) ? Listing::kListed : Listing::kUnknown;
  } catch (const silentPluginException&) {
    return Listing::kNone;
  }
}

// Signals the first listed process holding key; true when one got it.
bool signalMatchingProcess(const std::string& text, const std::string& key,
                           const std::string& toolPath) {
  for (const std::string& line : splitListing(text)) {
    write_log("INFO", "Token: " + line);
    if (line.find(key) == std::string::npos) continue;
    write_log("INFO", "Token found" + text);
    std::string idText;
    const pid_t pid = listingProcessId(line, toolPath, &idText);
    if (pid == 0) {
      write_log("ERR", "Token skipped, not a process id: '" + idText + "'");
      continue;
    }
    if (signalProcess(pid, SIGTERM)) {
      write_log("INFO", "SEND END SIGNAL TO " + idText);
      return true;
    }
  }
  return false;
}

void cleanOne(pgConnectionPool& pool, service& listing, const CaptureSettings& settings,
              const DeletedChannel& deleted) {
  const Channel& channel = deleted.channel;
  write_log("INFO", "SEARCH channel: " + channel.name);
  const bool netflow = isNetflow(channel);
  const std::string tool = netflow ? "nfcapd " : "sfcapd ";
  const Listing listed = listTool(listing, tool);
  if (listed == Listing::kUnknown) {
    // Deleting the row now could leave its tool running with nobody to
    // stop it: the next pass tries again.
    write_log("ERR", "channel " + channel.name + " kept: its capture process could not be listed");
    return;
  }
  if (listed == Listing::kListed) {
    signalMatchingProcess(listing.output, searchKey(channel.port),
                          netflow ? settings.netflows : settings.sflows);
  } else {
    write_log("INFO",
              "no " + tool + "process running, nothing to stop for channel: " + channel.name);
  }
  PgResult done(pool.executePrepareRequest("DeleteChannel", {deleted.id}));
  countChannel(ChannelOutcome::stopped);
}

}  // namespace

pid_t listingProcessId(const std::string& line, const std::string& toolPath, std::string* idText) {
  std::string::size_type end = toolPath.empty() ? std::string::npos : line.find(toolPath);
  if (end == std::string::npos) {
    const std::string::size_type start = line.find_first_not_of(" \t\r\n");
    end = start == std::string::npos ? line.size() : line.find_first_of(" \t\r\n", start);
  }
  *idText = boost::algorithm::trim_copy(line.substr(0, end));
  // Never 1 (init) nor anything kill() would read as a process group.
  const pid_t pid = plainPid(*idText);
  return pid > 1 ? pid : 0;
}

void cleanDeletedChannels(pgConnectionPool& pool, service& listing,
                          const CaptureSettings& settings) {
  write_log("INFO", "SUPPRESSION DES ANCIENS FLUX");
  pool.prepareRequest("selectDeleteChannel", kSelectDeleteChannel);
  pool.prepareRequest("DeleteChannel", kDeleteChannel);
  PgResult rows(pool.executePrepareRequest("selectDeleteChannel"));
  for (int row = 0; row < PQntuples(rows.get()); ++row) {
    const DeletedChannel deleted{
        PQgetvalue(rows.get(), row, 0),
        Channel{PQgetvalue(rows.get(), row, 1), PQgetvalue(rows.get(), row, 2),
                PQgetvalue(rows.get(), row, 3)}};
    // Left for the host that captures it to stop and delete.
    if (!settings.capturesHere(deleted.channel.name)) continue;
    cleanOne(pool, listing, settings, deleted);
  }
}
