// The receiving end of the key exchange and of slice encryption: an RSA key pair and the key
// request carrying its public half, the reply that brings the transmission key, and
// decryption of slices. The transmitter never calls these.
#pragma once

#include <cstdint>
#include <span>

#include "aes.h"
#include "tun_proto.h"
#include "tun_time.h"

// How often a receiving end repeats its key request until a key has been accepted.
inline constexpr std::int64_t aes_request_interval_ms = 100;

// Makes a 2048-bit RSA key pair, puts its public key into the request in `packet` and prepares
// the cipher context. 1 on success; 0 with the reason logged.
int aes_init_decryption(tun_aes *a);

// The key request (8 + body length bytes at the returned header); remembers `now` as the time
// it was last sent.
const tun_packet_header *aes_get_request_packet(tun_aes *a, const timespec64 *now);

// Length in bytes of the key request that aes_get_request_packet returns.
std::size_t aes_request_length(const tun_aes *a);

// 1 when the request is due again: no key yet and more than 100 ms since it was last sent.
// 0 for a null record or once a key has been accepted.
int aes_timeout(const tun_aes *a, const timespec64 *now);

// Takes the transmission key and IV from a key reply (`reply`: the datagram as received).
// 1 on success; 0 with the reason logged, in which case a key accepted earlier stays in use.
int aes_receive_key(tun_aes *a, std::span<const std::uint8_t> reply);

// Decrypts one slice in place, with the counter block of its `seq` minus `seq_offset`, and
// clears its `encrypted` bit. 0 without a key or on failure (logged).
int aes_decrypt(tun_aes *a, tun_slice *s, std::int64_t seq_offset);

// Decrypts the TS bytes of slice `seq` in place (at most seven TS packets' worth).
int aes_decrypt_ts(tun_aes *a, std::uint64_t seq, std::span<std::uint8_t> ts);
