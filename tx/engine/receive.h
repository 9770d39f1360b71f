// What a receiver sends to a transmission: the receive checks and the dispatch of requests,
// pings, descriptions and key requests, and the limits on what a peer can make the transmitter
// log or compute by sending at will.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ratelimit.h"

struct transmission;

// The limits of a transmission (its `limits` member).
tr_peer_limits &tr_limits(transmission *tr);

// True when a line of this kind may be logged for the transmission now. A count of the lines
// held back in an earlier second is logged first, labelled `kind`.
bool tr_log_pass(transmission *tr, tx_ratelimit *rl, const char *kind);

// Handles one datagram that arrived for the transmission, `len` bytes already in its `packet`
// (where the edge reads it straight to).
void tr_receive(transmission *tr, std::size_t len);
