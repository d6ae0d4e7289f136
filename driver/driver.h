// The merge driver: inputs, the merge loop and the program around them.
#pragma once

#include "driver/log_input.h"
#include "driver/merge.h"
#include "driver/run.h"
