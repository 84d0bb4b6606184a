// The service record: setters that keep derived fields in step.
#include "service.h"

#include <boost/tokenizer.hpp>

service::service()
    : plugin_id(0),
      Service_id(0),
      state(0),
      next_exec_time{0, 0},
      interval_exec_time(0),
      load(1.0f),
      timeout_s(0),
      output_max(kDefaultOutputMax),
      spare_descendants(false),
      timed_out(false) {}

void service::Setinterval_exec_time(int interval) {
  interval_exec_time = interval;
  load = static_cast<float>(300000 / interval);
}

void service::SetService_id(unsigned long long id) {
  Service_id = id;
  Service_id_str = std::to_string(id);
}

void service::Setparameter(std::string text) {
  parameter = std::move(text);
  parameter_list.clear();
  // Empty escape set: a backslash is an ordinary character in plugin
  // arguments (paths, regular expressions).
  boost::escaped_list_separator<char> separator(std::string(), " ", "\"'");
  boost::tokenizer<boost::escaped_list_separator<char>> tokens(parameter, separator);
  for (const std::string& token : tokens) {
    if (!token.empty()) parameter_list.push_back(token);
  }
}

bool service::operator<(const service& other) const {
  if (next_exec_time.tv_sec != other.next_exec_time.tv_sec)
    return next_exec_time.tv_sec < other.next_exec_time.tv_sec;
  return next_exec_time.tv_usec < other.next_exec_time.tv_usec;
}

bool service::operator>(const service& other) const { return other < *this; }
