// What a receiver sends to a transmission: the receive checks and the dispatch of requests,
// pings, descriptions and key requests, and the limits on what a peer can make the transmitter
// log or compute by sending at will.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ratelimit.h"

struct transmission;

// The limits of one output. Log lines a peer causes: the first ones as they are worded, then a
// few per second and a line counting those held back. Key replies: each costs an RSA operation,
// so past a short burst only a few per second are made; the requests beyond are counted and
// dropped (a receiver asks again until it has a key).
struct tr_peer_limits {
  tx_ratelimit wrong_magic = tx_ratelimit_of(10, 2);
  tx_ratelimit wrong_version = tx_ratelimit_of(10, 2);
  tx_ratelimit unknown_type = tx_ratelimit_of(10, 2);
  tx_ratelimit info = tx_ratelimit_of(10, 2);
  tx_ratelimit key_log = tx_ratelimit_of(10, 2);
  tx_ratelimit future = tx_ratelimit_of(10, 2);
  tx_ratelimit too_old = tx_ratelimit_of(10, 2);
  tx_ratelimit key_replies = tx_ratelimit_of(4, 2);
};

// The limits of a transmission (made on first use; they live as long as the process, as the
// transmissions do).
tr_peer_limits &tr_limits(const transmission *tr);

// True when a line of this kind may be logged for the transmission now. A count of the lines
// held back in an earlier second is logged first, labelled `kind`.
bool tr_log_pass(transmission *tr, tx_ratelimit *rl, const char *kind);

// Forgets every output's limits: for tests that make and free transmitter records.
void tr_limits_reset();

// Handles one datagram that arrived for the transmission, `len` bytes already in its `packet`
// (where the edge reads it straight to).
void tr_receive(transmission *tr, std::size_t len);
