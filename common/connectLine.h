// The libpq connection string both programs build from [POSTGRESQL].
#pragma once

#include <string>

#include "iniConfig.h"

// "host=<PGSQL_host> port=<PGSQL_port> dbname=<PGSQL_db>
// user=<PGSQL_username> password=<PGSQL_pwd>", values as read (no quoting),
// keys read in that order.
std::string buildConnectLine(iniConfig& config);
