// Encryption state of the tunnel: the transmission key and IV, the worker that encrypts slices
// behind the input path, and the key reply built for a receiver's public key.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <openssl/evp.h>
#include <thread>

#include "nk_context.h"
#include "slice.h"
#include "tun_time.h"

inline constexpr std::uint8_t AES_FLAG_KEY_RECEIVED = 0x01; // receiving end only
inline constexpr std::uint8_t AES_FLAG_256 = 0x02;

using aes_slice_fn = tun_slice *(*)();

struct tun_aes {
  NKCx *nk = nullptr;
  std::uint8_t key[32] = {};
  std::uint8_t iv[32] = {};
  std::uint8_t iv_seq[32] = {};
  EVP_CIPHER_CTX *ctx = nullptr;
  std::uint8_t buffer[2048] = {};
  EVP_PKEY *pkey = nullptr;
  std::uint8_t flags = 0;
  timespec64 timeout{};
  std::mutex mutex;
  std::condition_variable cond;
  std::thread thread;
  std::uint64_t next_slice = 0;
  aes_slice_fn slice_function = nullptr;
  alignas(8) std::uint8_t packet[1024] = {};
  std::uint64_t cpu_time = 0;
};

struct tun_aes_deleter {
  void operator()(tun_aes *a) const;
};
using tun_aes_ptr = std::unique_ptr<tun_aes, tun_aes_deleter>;

// A zero-filled record bound to the context; AES-128 until AES_FLAG_256 is set.
tun_aes_ptr aes_new(NKCx *nk);
