// Process-wide state of the scheduler, shared by its threads.
#pragma once

#include <pthread.h>

#include <atomic>
#include <string>
#include <vector>

#include "collectorConfig.h"
#include "deleteList.h"
#include "executeQueue.h"
#include "infoThread.h"
#include "pgConnectionPool.h"
#include "resultQueue.h"
#include "service.h"
#include "updateServiceMap.h"

// Option -f.
extern std::string pathToConfigFile;
// The configuration, read once: written by main before any thread starts,
// read-only afterwards.
extern CollectorSettings collector_settings;
// Every channel name, joined by ":"; written by main before any thread
// starts.
extern std::string allChannel;

// The main pool (one connection): start-up, then the change watcher only.
extern pgConnectionPool* pgSQL;

// The core records, in creation order. Filled by main during start-up under
// mutex_vec_core (the stop thread may read it meanwhile); fixed afterwards.
extern std::vector<infoThread*> vec_core;
extern pthread_mutex_t mutex_vec_core;  // guards vec_core

// Set once when the stop is requested; never cleared.
extern std::atomic<int> die_kova;

extern UpdateServiceMap serviceUpdate;
extern DeleteList serviceDeleteList;
// Every run's result on its way to the database (resultWriter.h).
extern ResultQueue resultQueue;
// Services dropped by the workers, waiting for the change watcher.
extern ExecuteQueue<service> deleteService;

// cond_vec_thread is signalled by each ending worker.
extern pthread_mutex_t mutex_vec_thread;  // guards every record's thread_list
extern pthread_cond_t cond_vec_thread;
