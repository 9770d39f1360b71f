// What a receiver sends to a transmission: the receive checks and the dispatch of requests,
// pings, descriptions and key requests.
#pragma once

#include <cstddef>

struct transmission;

// Handles one datagram that arrived for the transmission, `len` bytes already in its `packet`
// (where the edge reads it straight to).
void tr_receive(transmission *tr, std::size_t len);
