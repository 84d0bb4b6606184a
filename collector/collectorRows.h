// One collector row (the columns of kCollectorColumns) into a scheduled
// service: what the loaders and the hand-over between nodes share.
#pragma once

#include <libpq-fe.h>
#include <sys/time.h>

#include <string>

#include "service.h"

// Fills the first "$CHANNEL" (the row's channel, or allChannel when it has
// none) and the first "$INTERVAL" (the interval text as returned): the
// parameter text as logs show it.
std::string replaceServiceParameter(std::string parameter, PGresult* result, int row);

// The row's parameter into record: parameter is replaceServiceParameter's
// text; parameter_list is the text split with "$INTERVAL" filled, then the
// channel put into the argument holding the first "$CHANNEL", so that the
// name stays within that one argument whatever blanks or quotes it holds.
void setParameterFromRow(service& record, PGresult* result, int row);

// Builds the record of one row. Throws std::exception for a row that
// cannot be scheduled (bad ids, an interval of 0 s or one too long for the
// millisecond field).
service buildServiceFromRow(PGresult* result, int row);

// Index in vec_core of the record with the smallest load, lowest on ties.
size_t leastLoadedCore();

// Pushes the record into the least-loaded core record's waiting queue and
// adds its load there.
void placeService(service& record);

// Now plus rand() % load_mod seconds: the first run of a collector that
// never ran.
struct timeval randomFirstDue();
