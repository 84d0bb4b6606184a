// Owner of one libpq result, so that every path releases it.
#pragma once

#include <libpq-fe.h>

#include <memory>

struct PgResultDeleter {
  void operator()(PGresult* result) const { PQclear(result); }
};

using PgResult = std::unique_ptr<PGresult, PgResultDeleter>;
