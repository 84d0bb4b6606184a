// Connection string from the configuration file.
#include "connectLine.h"

std::string buildConnectLine(iniConfig& config) {
  const std::string host = config.getKey("POSTGRESQL", "PGSQL_host");
  const std::string port = config.getKey("POSTGRESQL", "PGSQL_port");
  const std::string db = config.getKey("POSTGRESQL", "PGSQL_db");
  const std::string user = config.getKey("POSTGRESQL", "PGSQL_username");
  const std::string password = config.getKey("POSTGRESQL", "PGSQL_pwd");
  return "host=" + host + " port=" + port + " dbname=" + db + " user=" + user +
         " password=" + password;
}
