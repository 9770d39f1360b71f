// The transmitter's side of the key exchange: the key reply built for a receiver's public key.
#pragma once

#include <cstdint>
#include <span>

#include "aes.h"
#include "tun_proto.h"

// Builds the key reply for a received key request (header included) in the record's `packet`
// and returns it, or null when the key cannot be decoded or encrypted to.
const tun_packet_header *aes_get_response_packet(tun_aes *a, std::span<const std::uint8_t> request);
