// Reconciliation: the listings are taken once, before the first row, so a
// tool started during the pass is never mistaken for one that was running.
#include "reconcile.h"

#include "captureCommand.h"
#include "channelStarter.h"
#include "exceptions.h"
#include "log.h"
#include "metricsFile.h"
#include "pgResult.h"

namespace {

const char kSelectChannel[] =
    "select channel_name,channel_protocol,channel_port,channel_ip_dist from flows_channel";

// The whole `ps` output for tool ("sfcapd" or "nfcapd"); empty when the
// listing failed, which happens whenever no such process runs.
std::string takeListing(service& listing, const std::string& tool) {
  try {
    listing.Setparameter("-C " + tool + " -o command --no-header");
    if (!runBounded(listing)) return std::string();
  } catch (const serviceException& error) {
    write_log("INFO", "SEARCH " + tool + " processus: " + error.what());
    return std::string();
  }
  write_log("INFO", tool + " found " + listing.output);
  return listing.output;
}

Channel channelAt(const PGresult* result, int row) {
  return Channel{PQgetvalue(result, row, 0), PQgetvalue(result, row, 1),
                 PQgetvalue(result, row, 2)};
}

}  // namespace

service makeListingRecord(const std::string& psPath) {
  service listing;
  listing.name = "GET PROCESS";
  listing.plugin_path = psPath;
  listing.plugin_id = 1;
  listing.SetService_id(1);
  return listing;
}

void reconcileChannels(pgConnectionPool& pool, service& listing, const CaptureSettings& settings) {
  const std::string sflowListing = takeListing(listing, "sfcapd");
  const std::string netflowListing = takeListing(listing, "nfcapd");
  pool.prepareRequest("selectChannel", kSelectChannel);
  PgResult rows(pool.executePrepareRequest("selectChannel"));
  ChannelStarter starter(settings);
  for (int row = 0; row < PQntuples(rows.get()); ++row) {
    const Channel channel = channelAt(rows.get(), row);
    // Another host's channel: its capture files belong there.
    if (!settings.capturesHere(channel.name)) continue;
    write_log("INFO", "SEARCH channel: " + channel.name);
    const bool netflow = isNetflow(channel);
    const std::string& running = netflow ? netflowListing : sflowListing;
    if (running.find(searchKey(channel.port)) != std::string::npos) {
      write_log("INFO",
                std::string(netflow ? "nfcapd" : "sfcapd") + " channel OK: " + channel.name);
      countChannel(ChannelOutcome::running);
      continue;
    }
    countChannel(starter.start(channel) ? ChannelOutcome::started : ChannelOutcome::failed);
  }
}
