// Definitions of the scheduler's globals.
#include "globals.h"

std::string pathToConfigFile = "/etc/kova/flows.conf";
std::string file_info;
int core_number = 1;
int nbr_max_thread = 0;
int modulo_rand = 300;
int wait_load_delete_thread = 300;
int plugin_timeout = 60;
size_t plugin_output_max = kDefaultOutputMax;
std::vector<std::string> plugin_dirs;
std::string connectLine;
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
