// Retransmission: a receiver's request marks slices in the transmission's resend table; the
// scan finds the oldest marked slice the ring still holds.
#pragma once

#include <cstddef>
#include <cstdint>

struct transmission;

// Marks the slices a request asks for; the request is in the transmission's `packet`,
// `received` bytes long.
void tun_request(transmission *tr, std::size_t received);

// The next slice to resend, or 0. Moves the scan's start past entries no longer wanted.
std::uint64_t tr_check_repeat(transmission *tr);
