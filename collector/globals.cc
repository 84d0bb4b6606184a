// Definitions of the scheduler's globals.
#include "globals.h"

std::string pathToConfigFile = "/etc/kova/flows.conf";
CollectorSettings collector_settings;
std::string allChannel;

pgConnectionPool* pgSQL = nullptr;

std::vector<infoThread*> vec_core;
pthread_mutex_t mutex_vec_core = PTHREAD_MUTEX_INITIALIZER;

std::atomic<int> die_kova{0};

UpdateServiceMap serviceUpdate;
DeleteList serviceDeleteList;
ExecuteQueue<service> deleteService;
ResultQueue resultQueue;

pthread_mutex_t mutex_vec_thread = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t cond_vec_thread = PTHREAD_COND_INITIALIZER;
