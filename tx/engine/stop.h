// The one way the transmitter ends: the engine says why and with which status (tx_stop), and
// whoever drives it ends the process (tx_exit). A simulation reads the request instead.
#pragma once

#include "nk_context.h"

struct tesseltx;

// Logs the reason at LOG_ERR and records the status; the first request wins.
void tx_stop(tesseltx *t, int status, const char *fmt, ...) NK_PRINTF(3, 4);

// Ends the process with the recorded status.
[[noreturn]] void tx_exit(tesseltx *t);

// tx_stop with status 255 and tx_exit: configuration and start-up failures.
[[noreturn]] void tx_die(tesseltx *t, const char *fmt, ...) NK_PRINTF(2, 3);
