#include "aes_receive.h"

#include <cstring>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include "aes_exchange.h"

namespace {

constexpr int rsa_bits = 2048;

struct bn_free {
  void operator()(BIGNUM *b) const { BN_free(b); }
};
struct pkey_ctx_free {
  void operator()(EVP_PKEY_CTX *c) const { EVP_PKEY_CTX_free(c); }
};

EVP_PKEY *generate_rsa(tun_aes *a) {
  const std::unique_ptr<BIGNUM, bn_free> e(BN_new());
  if (!e || BN_set_word(e.get(), RSA_F4) != 1) {
    nk_log(a->nk, LOG_ERR, "Unable to generate BIGNUM\n");
    return nullptr;
  }
  const std::unique_ptr<EVP_PKEY_CTX, pkey_ctx_free> ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_RSA, nullptr));
  EVP_PKEY *key = nullptr;
  if (!ctx || EVP_PKEY_keygen_init(ctx.get()) <= 0 ||
      EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), rsa_bits) <= 0 ||
      EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), e.get()) <= 0 || EVP_PKEY_keygen(ctx.get(), &key) <= 0) {
    nk_log(a->nk, LOG_ERR, "Unable to generate RSA key\n");
    return nullptr;
  }
  return key;
}

// RSA-decrypts `ct` into `out`; the plaintext length, or -1.
int decrypt_key(tun_aes *a, std::span<const std::uint8_t> ct, std::span<std::uint8_t> out) {
  const std::unique_ptr<EVP_PKEY_CTX, pkey_ctx_free> ctx(EVP_PKEY_CTX_new(a->pkey, nullptr));
  if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) <= 0 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0) {
    return -1;
  }
  std::size_t len = out.size();
  if (EVP_PKEY_decrypt(ctx.get(), out.data(), &len, ct.data(), ct.size()) <= 0) {
    return -1;
  }
  return static_cast<int>(len);
}

} // namespace

int aes_init_decryption(tun_aes *a) {
  if (RAND_load_file("/dev/urandom", 2048) <= 0) {
    nk_log(a->nk, LOG_ERR, "Unable to seed PRNG\n");
    return 0;
  }
  EVP_PKEY *key = generate_rsa(a);
  if (key == nullptr) {
    return 0;
  }
  EVP_PKEY_free(a->pkey);
  a->pkey = key;
  a->flags = 0;

  constexpr std::size_t hlen = sizeof(tun_packet_header);
  const int der_len = i2d_PublicKey(a->pkey, nullptr);
  if (der_len <= 0 || static_cast<std::size_t>(der_len) > sizeof a->packet - hlen) {
    nk_log(a->nk, LOG_ERR, "Unable to generate RSA key\n");
    return 0;
  }
  unsigned char *p = a->packet + hlen;
  i2d_PublicKey(a->pkey, &p);
  auto *h = reinterpret_cast<tun_packet_header *>(a->packet);
  tun_header_init(h, 7, TUN_AES_REQUEST);
  tun_set_body_length(h, static_cast<std::size_t>(der_len));

  EVP_CIPHER_CTX_free(a->ctx);
  a->ctx = EVP_CIPHER_CTX_new();
  if (a->ctx == nullptr) {
    nk_log(a->nk, LOG_ERR, "Unable to create AES context");
    return 0;
  }
  nk_log(a->nk, LOG_NOTICE, "Decryption Initialised.");
  return 1;
}

const tun_packet_header *aes_get_request_packet(tun_aes *a, const timespec64 *now) {
  a->timeout = *now;
  return reinterpret_cast<const tun_packet_header *>(a->packet);
}

std::size_t aes_request_length(const tun_aes *a) {
  return sizeof(tun_packet_header) + static_cast<std::size_t>(a->packet[6]) + 256u * a->packet[7];
}

int aes_timeout(const tun_aes *a, const timespec64 *now) {
  if (a == nullptr || (a->flags & AES_FLAG_KEY_RECEIVED)) {
    return 0;
  }
  timespec64 due{a->timeout.tv_sec, a->timeout.tv_nsec + aes_request_interval_ms * 1000000};
  if (due.tv_nsec >= 1000000000) {
    due.tv_sec += due.tv_nsec / 1000000000;
    due.tv_nsec %= 1000000000;
  }
  return timespec64_before(due, *now) ? 1 : 0;
}

int aes_receive_key(tun_aes *a, std::span<const std::uint8_t> reply) {
  constexpr std::size_t hlen = sizeof(tun_packet_header);
  const bool wide = reply.size() > 5 && (reply[5] & tun_type_mask) == TUN_AES_REPLY_256;
  const int bits = wide ? 256 : 128;
  const std::size_t key_len = wide ? 32 : 16;
  const std::size_t iv_field = wide ? 32 : 16;
  const EVP_CIPHER *cipher = wide ? EVP_aes_256_ctr() : EVP_aes_128_ctr();
  nk_log(a->nk, LOG_ERR, "L E N = %d\n", EVP_CIPHER_get_key_length(cipher));

  // Nothing of the record changes before the reply has proved good, so that a stray or forged
  // reply cannot undo a key already in use.
  const int modulus = a->pkey ? EVP_PKEY_get_size(a->pkey) : 0;
  const std::size_t ct_len = modulus > 0 ? static_cast<std::size_t>(modulus) : 0;
  std::uint8_t plain[1024];
  int got = -1;
  if (ct_len > 0 && ct_len <= sizeof plain && reply.size() >= hlen + iv_field + ct_len) {
    got = decrypt_key(a, reply.subspan(hlen + iv_field, ct_len), plain);
  }
  if (got < 0) {
    ERR_clear_error();
    nk_log(a->nk, LOG_ERR, "Unable to decrypt AES%d transmission key\n", bits);
    return 0;
  }
  if (static_cast<std::size_t>(got) != key_len) {
    nk_log(a->nk, LOG_ERR, "Unable to decrypt AES%d tranmission key %d!=%d\n", bits, got,
           static_cast<int>(key_len));
    return 0;
  }
  aes_forget_keystreams(a);
  if (a->ctx == nullptr || EVP_EncryptInit_ex(a->ctx, cipher, nullptr, plain, nullptr) != 1) {
    nk_log(a->nk, LOG_ERR, wide ? "Unable to init AES 256 ctr" : "Unable to init AES 128 ctr");
    a->flags = 0; // the context no longer holds the earlier key
    return 0;
  }
  std::memcpy(a->key, plain, key_len);
  std::memcpy(a->iv, reply.data() + hlen, iv_field);
  a->flags = static_cast<std::uint8_t>((wide ? AES_FLAG_256 : 0) | AES_FLAG_KEY_RECEIVED);
  OPENSSL_cleanse(plain, sizeof plain);
  return 1;
}

int aes_decrypt_ts(tun_aes *a, std::uint64_t seq, std::span<std::uint8_t> ts) {
  if (!(a->flags & AES_FLAG_KEY_RECEIVED)) {
    return 0;
  }
  if (ts.size() > slice_payload_max) {
    nk_log(a->nk, LOG_ERR, "AES decrypt: unable to perform decryption");
    return 0;
  }
  aes_iv_seq(a, seq);
  bool init = false;
  if (!aes_ctr_apply(a, a->iv_seq, ts, &init)) {
    nk_log(a->nk, LOG_ERR, init ? "AES decrypt: unable to init EVP" : "AES decrypt: unable to perform decryption");
    return 0;
  }
  return 1;
}

int aes_decrypt(tun_aes *a, tun_slice *s, std::int64_t seq_offset) {
  if (!(a->flags & AES_FLAG_KEY_RECEIVED)) {
    return 0;
  }
  // A size field beyond seven packets would reach past the slice.
  if (s->size > slice_max_packets) {
    nk_log(a->nk, LOG_ERR, "AES decrypt: unable to perform decryption");
    return 0;
  }
  const std::uint64_t seq = s->seq - static_cast<std::uint64_t>(seq_offset);
  if (!aes_decrypt_ts(a, seq, std::span<std::uint8_t>(s->udp_data, ts_packet_size * s->size))) {
    return 0;
  }
  s->encrypted = 0;
  return 1;
}
