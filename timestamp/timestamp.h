// Timestamp keys: the order in which log lines are merged.
#pragma once

#include "timestamp/line_key.h"
#include "timestamp/month_lookup.h"
