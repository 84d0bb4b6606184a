// Placeholder: the real harness replaces this file.
#include "pgHarness.h"
