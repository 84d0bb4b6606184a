// The reconciliation pass: one capture tool for every channel whose port is
// missing from the process listing of its tool.
#pragma once

#include "captureSettings.h"
#include "pgConnectionPool.h"
#include "service.h"

// The `ps` record that serves every process listing of a run.
service makeListingRecord(const std::string& psPath);

// Takes the sfcapd and nfcapd listings with `listing`, reads every row of
// flows_channel ("selectChannel") and starts the tool of each channel whose
// search key is missing from its own tool's listing. Listing and start
// failures are logged; PostgresqlException propagates.
void reconcileChannels(pgConnectionPool& pool, service& listing, const CaptureSettings& settings);
