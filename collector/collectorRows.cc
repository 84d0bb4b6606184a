// Row to record, placeholders, first due time, placement.
#include "collectorRows.h"

#include <cstdlib>
#include <stdexcept>

#include "convertTo.h"
#include "globals.h"
#include "log.h"
#include "statements.h"

namespace {

// The millisecond field is a 32-bit int.
const uint32_t kMaxIntervalSeconds = 2147483;

std::string column(PGresult* result, int row, int index) { return PQgetvalue(result, row, index); }

// Rejects what would make the load weight divide by zero or overflow the
// millisecond interval.
int intervalMilliseconds(const std::string& text) {
  const uint32_t seconds = stringToUnsignedInt(text);
  if (seconds == 0)
    throw std::invalid_argument(" interval '" + text + "' is shorter than one second");
  if (seconds > kMaxIntervalSeconds)
    throw std::invalid_argument(" interval '" + text + "' is longer than " +
                                std::to_string(kMaxIntervalSeconds) + " seconds");
  return static_cast<int>(seconds) * 1000;
}

// False when text holds no placeholder.
bool replaceFirst(std::string* text, const std::string& placeholder, const std::string& value) {
  const std::string::size_type at = text->find(placeholder);
  if (at == std::string::npos) return false;
  text->replace(at, placeholder.size(), value);
  return true;
}

// The row's channel, or every channel for a collector without one.
std::string channelOf(PGresult* result, int row) {
  const std::string channel = column(result, row, sql::kColumnChannelName);
  return channel.empty() ? allChannel : channel;
}

}  // namespace

struct timeval randomFirstDue() {
  struct timeval now;
  gettimeofday(&now, nullptr);
  now.tv_sec += rand() % collector_settings.modulo_rand;
  return now;
}

void placeService(service& record) {
  const size_t index = leastLoadedCore();
  Trace("Chargement dans la queue numéros " + std::to_string(index));
  infoThread* core = vec_core[index];
  const float load = record.load;
  core->wait_queue->push(std::move(record));
  core->addLoad(load);
  Trace("Chargement dans la queue numéros sucess");
}

service buildServiceFromRow(PGresult* result, int row) {
  Trace("Chargement dans la queue " + column(result, row, sql::kColumnCollectorId));
  service record;
  record.plugin_id = std::stoi(column(result, row, sql::kColumnPluginId));
  record.name = column(result, row, sql::kColumnName);
  record.plugin_path = column(result, row, sql::kColumnPluginPath);
  record.Setinterval_exec_time(intervalMilliseconds(column(result, row, sql::kColumnInterval)));
  record.SetService_id(std::stoull(column(result, row, sql::kColumnCollectorId)));
  Trace("#LOAD ID " + record.name + "#" + record.Service_id_str + "#");
  setParameterFromRow(record, result, row);
  return record;
}

size_t leastLoadedCore() {
  size_t best = 0;
  float best_load = vec_core[0]->getLoad();
  for (size_t i = 1; i < vec_core.size(); ++i) {
    const float load = vec_core[i]->getLoad();
    if (load < best_load) {
      best = i;
      best_load = load;
    }
  }
  return best;
}

std::string replaceServiceParameter(std::string parameter, PGresult* result, int row) {
  std::string text = parameter;
  Trace("#PARAM ID " + text);
  replaceFirst(&text, "$CHANNEL", channelOf(result, row));
  Trace("#PARAM ID " + text);
  replaceFirst(&text, "$INTERVAL", column(result, row, sql::kColumnInterval));
  return text;
}

void setParameterFromRow(service& record, PGresult* result, int row) {
  const std::string raw = column(result, row, sql::kColumnParameter);
  std::string split = raw;
  replaceFirst(&split, "$INTERVAL", column(result, row, sql::kColumnInterval));
  // Split before the channel goes in: a name with blanks or quotes is one
  // argument and can add none.
  record.Setparameter(split);
  record.parameter = replaceServiceParameter(raw, result, row);
  if (raw.find("$CHANNEL") == std::string::npos) return;
  const std::string channel = channelOf(result, row);
  for (std::string& argument : record.parameter_list)
    if (replaceFirst(&argument, "$CHANNEL", channel)) return;
}
