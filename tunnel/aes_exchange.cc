#include "aes_exchange.h"

#include <algorithm>
#include <cstring>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

namespace {

struct pkey_free {
  void operator()(EVP_PKEY *k) const { EVP_PKEY_free(k); }
};
struct pkey_ctx_free {
  void operator()(EVP_PKEY_CTX *c) const { EVP_PKEY_CTX_free(c); }
};

struct bn_free {
  void operator()(BIGNUM *b) const { BN_free(b); }
};

// Receivers' keys have small public exponents (65537). A long one makes the public operation as
// dear as a private one: on the device, a few such requests a second would stall the network
// thread, so they are refused.
constexpr int max_exponent_bits = 32;

bool exponent_is_small(EVP_PKEY *pub) {
  BIGNUM *raw = nullptr;
  if (EVP_PKEY_get_bn_param(pub, OSSL_PKEY_PARAM_RSA_E, &raw) != 1) {
    return false;
  }
  const std::unique_ptr<BIGNUM, bn_free> e(raw);
  return BN_num_bits(e.get()) <= max_exponent_bits;
}

// RSA-encrypts the transmission key into `out`; the ciphertext length, or 0 on failure.
std::size_t encrypt_key(const tun_aes *a, EVP_PKEY *pub, std::span<std::uint8_t> out) {
  // Larger moduli would write past the reply packet: the ciphertext is as long as the modulus.
  const int modulus = EVP_PKEY_get_size(pub);
  if (modulus <= 0 || static_cast<std::size_t>(modulus) > out.size() || !exponent_is_small(pub)) {
    return 0;
  }
  std::unique_ptr<EVP_PKEY_CTX, pkey_ctx_free> ctx(EVP_PKEY_CTX_new(pub, nullptr));
  if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) <= 0 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0) {
    return 0;
  }
  std::size_t len = out.size();
  if (EVP_PKEY_encrypt(ctx.get(), out.data(), &len, a->key, aes_key_len(a)) <= 0) {
    return 0;
  }
  return len;
}

} // namespace

const tun_packet_header *aes_get_response_packet(tun_aes *a, std::span<const std::uint8_t> request,
                                                 std::span<std::uint8_t, aes_packet_size> reply) {
  constexpr std::size_t hlen = sizeof(tun_packet_header);
  EVP_PKEY *decoded = nullptr;
  if (request.size() > hlen) {
    // The DER is bounded by the body length the header claims and by what actually arrived.
    const std::size_t body = static_cast<std::size_t>(request[6]) + 256u * request[7];
    const std::size_t der_len = std::min(body, request.size() - hlen);
    const unsigned char *p = request.data() + hlen;
    decoded = d2i_PublicKey(EVP_PKEY_RSA, nullptr, &p, static_cast<long>(der_len));
  }
  const std::unique_ptr<EVP_PKEY, pkey_free> pub(decoded);
  if (!pub) {
    // Hostile requests come again and again; their reasons are not kept for later callers.
    ERR_clear_error();
    nk_log(a->nk, LOG_ERR, "Unable to decode public key\n");
    return nullptr;
  }

  const std::size_t iv_field = aes_iv_field_len(a);
  const std::size_t ct_len = encrypt_key(a, pub.get(), reply.subspan(hlen + iv_field));
  if (ct_len == 0) {
    ERR_clear_error();
    nk_log(a->nk, LOG_NOTICE, "Unable to encrypt tranmission key\n");
    return nullptr;
  }
  auto *h = reinterpret_cast<tun_packet_header *>(reply.data());
  tun_header_init(h, 7, (a->flags & AES_FLAG_256) ? TUN_AES_REPLY_256 : TUN_AES_REPLY);
  const std::size_t body = iv_field + ct_len;
  tun_set_body_length(h, body);
  std::memcpy(reply.data() + hlen, a->iv, iv_field);
  nk_log(a->nk, LOG_NOTICE, "Encrypted transmission key ready AES%d (%d/%d bytes)", aes_bits(a),
         static_cast<int>(aes_key_len(a)), static_cast<int>(body));
  return h;
}

const tun_packet_header *aes_get_response_packet(tun_aes *a, std::span<const std::uint8_t> request) {
  return aes_get_response_packet(a, request, std::span<std::uint8_t, aes_packet_size>(a->packet));
}
