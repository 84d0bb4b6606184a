// The change watcher: collectors added, changed and deleted while running.
#pragma once

// Thread entry; arg unused. Every interval_check_update seconds: loads
// 'ADD' collectors, stores 'UPDATE' definitions, lists collectors marked
// deleted, empties flows_updel_collector, sleeps, then deletes the rows of
// the collectors the workers dropped.
void* thread_load_delete_service(void* arg);
