// Connection string from the configuration file.
#include "connectLine.h"

#include <libpq-fe.h>

#include <memory>

namespace {

std::string quoted(const std::string& value) {
  std::string text = "'";
  for (char c : value) {
    if (c == '\'' || c == '\\') text += '\\';
    text += c;
  }
  return text + "'";
}

// A link that goes silent (a partition, a host lost) is given up within
// about 10 s rather than the kernel's minutes or hours: keepalives for an
// idle connection, tcp_user_timeout for data never acknowledged.
const char* const kLinkDefaults[][2] = {{"keepalives", "1"},
                                        {"keepalives_idle", "5"},
                                        {"keepalives_interval", "2"},
                                        {"keepalives_count", "2"},
                                        {"tcp_user_timeout", "10000"}};

// Whether the operator's options name this keyword themselves. Options
// libpq cannot parse are passed on all the same: the connection then fails
// with libpq's own description of the fault.
bool setsKeyword(const std::string& options, const std::string& keyword) {
  char* error = nullptr;
  std::unique_ptr<PQconninfoOption, void (*)(PQconninfoOption*)> parsed(
      PQconninfoParse(options.c_str(), &error), PQconninfoFree);
  PQfreemem(error);
  if (!parsed) return false;
  for (const PQconninfoOption* option = parsed.get(); option->keyword != nullptr; ++option) {
    if (option->keyword == keyword && option->val != nullptr) return true;
  }
  return false;
}

}  // namespace

std::string buildConnectLine(iniConfig& config, const std::string& application_name) {
  const std::string host = config.getKey("POSTGRESQL", "PGSQL_host");
  const std::string port = config.getKey("POSTGRESQL", "PGSQL_port");
  const std::string db = config.getKey("POSTGRESQL", "PGSQL_db");
  const std::string user = config.getKey("POSTGRESQL", "PGSQL_username");
  const std::string password = config.getKey("POSTGRESQL", "PGSQL_pwd");
  const std::string options = config.getKey("POSTGRESQL", "PGSQL_options");
  std::string line = "host=" + quoted(host) + " port=" + quoted(port) + " dbname=" + quoted(db) +
                     " user=" + quoted(user) + " password=" + quoted(password);
  if (!setsKeyword(options, "application_name"))
    line += " application_name=" + quoted(application_name);
  for (const auto& [keyword, value] : kLinkDefaults)
    if (!setsKeyword(options, keyword)) line += std::string(" ") + keyword + "=" + value;
  if (!options.empty()) line += " " + options;
  return line;
}

std::string connectionSettingsText(iniConfig& config) {
  std::string text;
  for (const char* key :
       {"PGSQL_host", "PGSQL_port", "PGSQL_db", "PGSQL_username", "PGSQL_pwd", "PGSQL_options"}) {
    const std::string value =
        key == std::string("PGSQL_pwd") ? "***" : config.getKey("POSTGRESQL", key);
    text += std::string("POSTGRESQL.") + key + "=" + value + "\n";
  }
  return text;
}
