// The key exchange on the wire: a receiver's RSA public key in, the transmission key and IV,
// encrypted to that public key, out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "aes.h"
#include "tun_proto.h"

// 0x22: the receiver's public key, DER (PKCS#1 RSAPublicKey), body length in bytes 6 and 7.
struct tun_aes_request_packet {
  tun_packet_header h;
  std::uint8_t public_key[aes_packet_size - sizeof(tun_packet_header)];
};
static_assert(offsetof(tun_aes_request_packet, public_key) == 8);

// 0x23: the IV, then the AES-128 key encrypted with PKCS#1 v1.5 padding.
struct tun_aes_reply_packet {
  tun_packet_header h;
  std::uint8_t iv[16];
  std::uint8_t key[aes_packet_size - 24];
};
static_assert(offsetof(tun_aes_reply_packet, iv) == 8);
static_assert(offsetof(tun_aes_reply_packet, key) == 24);

// 0x25: a 32-byte IV field (the 16-byte IV and 16 zero bytes), then the AES-256 key.
struct tun_aes_reply_packet_256 {
  tun_packet_header h;
  std::uint8_t iv[32];
  std::uint8_t key[aes_packet_size - 40];
};
static_assert(offsetof(tun_aes_reply_packet_256, iv) == 8);
static_assert(offsetof(tun_aes_reply_packet_256, key) == 40);
static_assert(sizeof(tun_aes_reply_packet) == aes_packet_size &&
              sizeof(tun_aes_reply_packet_256) == aes_packet_size);

// Length of the IV field of a reply: 16 for AES-128, 32 for AES-256.
inline std::size_t aes_iv_field_len(const tun_aes *a) {
  return (a->flags & AES_FLAG_256) ? 32 : 16;
}

// Builds the key reply for a received key request (`request`: the whole datagram as received,
// header included) in `reply` and returns it, or null, with the reason logged, when the key
// cannot be decoded or encrypted to. Only the received bytes are read. The key the request
// carries is not kept.
const tun_packet_header *aes_get_response_packet(tun_aes *a, std::span<const std::uint8_t> request,
                                                 std::span<std::uint8_t, aes_packet_size> reply);

// The same, built in the record's own `packet`. Every transmission that points at it sends the
// newest reply; the transmitter gives each transmission a buffer of its own instead.
const tun_packet_header *aes_get_response_packet(tun_aes *a, std::span<const std::uint8_t> request);
