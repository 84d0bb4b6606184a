// The metrics read from the daemon's own structures at each scrape.
#pragma once

// Installs the sources of kova_collectors (the collectors waiting, due or
// running in every core record) and kova_results_waiting (the backlog).
// Main thread, once the core records exist; the sources take the records'
// queue locks briefly, as the status report does.
void registerMetricSources();
