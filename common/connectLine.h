// The libpq connection string both programs build from [POSTGRESQL].
#pragma once

#include <string>

#include "iniConfig.h"

// "host='<PGSQL_host>' port='<PGSQL_port>' dbname='<PGSQL_db>'
// user='<PGSQL_username>' password='<PGSQL_pwd>'", keys read in that order.
// Every value is quoted for libpq's keyword/value format (single quotes, a
// backslash before a quote or a backslash), so blanks, quotes, backslashes
// and "=" are taken literally and no value can add a keyword. Then
// " application_name='<application_name>'" unless PGSQL_options sets one,
// then keepalives and tcp_user_timeout that notice a silent link within
// about 10 s, each unless PGSQL_options sets it, then " " + PGSQL_options as
// it stands when that optional key is not empty (sslmode, sslrootcert,
// connect_timeout and the like).
std::string buildConnectLine(iniConfig& config, const std::string& application_name);

// The connection keys as "POSTGRESQL.<key>=<value>" lines, in the order
// read, the password shown as "***" (for the programs' -t check).
std::string connectionSettingsText(iniConfig& config);
