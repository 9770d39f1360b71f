// libnodekit: the transmitter's support library (context and logging, addresses and the input
// socket, timing, parameter strings, complete writes).
#pragma once

#include "nk_addr.h"
#include "nk_context.h"
#include "nk_param.h"
#include "nk_timing.h"
#include "nk_write.h"
