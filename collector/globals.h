// Process-wide state of the scheduler, shared by its threads.
#pragma once

#include <pthread.h>

#include <atomic>
#include <string>
#include <vector>

#include "DeleteList.h"
#include "ExecuteQueue.h"
#include "UpdateServiceMap.h"
#include "infoThread.h"
#include "pgConnectionPool.h"
#include "resultQueue.h"
#include "service.h"

// Configuration values: written by main before any thread starts, read-only
// afterwards.
extern std::string pathToConfigFile;
extern std::string file_info;
extern int core_number;
extern int nbr_max_thread;
extern int modulo_rand;
extern int wait_load_delete_thread;
extern int plugin_timeout;         // seconds, 0: no limit
extern size_t plugin_output_max;  // bytes
extern std::vector<std::string> plugin_dirs;  // empty: plugins may run from anywhere
extern std::string connectLine;
extern std::string allChannel;

// The main pool (one connection): start-up, then the change watcher only.
extern pgConnectionPool* pgSQL;

// The core records, in creation order. Filled by main during start-up under
// mutex_vec_core (the stop thread may read it meanwhile); fixed afterwards.
extern std::vector<infoThread*> vec_core;
extern pthread_mutex_t mutex_vec_core;

// Set once when the stop is requested; never cleared.
extern std::atomic<int> die_kova;

extern UpdateServiceMap serviceUpdate;
extern DeleteList serviceDeleteList;
// Every run's result on its way to the database (resultWriter.h).
extern ResultQueue resultQueue;
// Services dropped by the workers, waiting for the change watcher.
extern ExecuteQueue<service> deleteService;

// Guards every record's thread_list; cond_vec_thread is signalled by each
// ending worker.
extern pthread_mutex_t mutex_vec_thread;
extern pthread_cond_t cond_vec_thread;
