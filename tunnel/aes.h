// Encryption state of the tunnel: the transmission key and IV, the worker that encrypts slices
// behind the input path, and the key reply built for a receiver's public key. The receiving
// end's operations (aes_receive.h) use the same record.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <openssl/evp.h>
#include <span>
#include <thread>

#include "nk_context.h"
#include "slice.h"
#include "tun_time.h"

inline constexpr std::uint8_t AES_FLAG_KEY_RECEIVED = 0x01; // receiving end only
inline constexpr std::uint8_t AES_FLAG_256 = 0x02;

inline constexpr std::size_t aes_iv_len = 16;
inline constexpr std::size_t aes_packet_size = 1024;

// The keystream of one counter block, as long as the longest slice. A slice's counter block
// depends on little of its number (aes_iv_seq), so the same few keystreams serve slice after
// slice; each is made by the library's CTR mode once per key and then XORed over the slices.
struct aes_keystream {
  std::uint8_t counter[aes_iv_len] = {};
  bool valid = false;
  std::uint8_t bytes[slice_payload_max] = {};
};
inline constexpr std::size_t aes_keystreams = 2;

using aes_slice_fn = tun_slice *(*)();

// Who encrypts the transmitter's slices. Where a slice is cheap to encrypt, the input path does
// it as it publishes a batch: a wake-up of the worker costs more there. Elsewhere the worker
// does, so that the loop stays free for requests.
enum class aes_mode : std::uint8_t { automatic, worker, inline_cipher };

// A slice costing less than this to encrypt is encrypted inline (automatic mode). With its
// keystream kept, a full slice is an XOR of 1316 bytes: about 0.1 us on a PC whatever AES code
// it runs, a few microseconds on a slow embedded core, where the worker keeps it off the loop.
inline constexpr double aes_inline_max_us = 1.0;

struct tun_aes {
  NKCx *nk = nullptr;
  std::uint8_t key[32] = {};
  std::uint8_t iv[32] = {}; // 16 random bytes; an AES-256 reply sends all 32
  std::uint8_t iv_seq[32] = {};
  EVP_CIPHER_CTX *ctx = nullptr;
  // Used by whoever encrypts (the worker, or the loop inline) or decrypts, never by both.
  aes_keystream keystream[aes_keystreams];
  std::size_t keystream_next = 0; // the entry a new counter block replaces
  EVP_PKEY *pkey = nullptr; // receiving end: its own key pair
  std::uint8_t flags = 0;
  timespec64 timeout{};
  std::mutex mutex;
  std::condition_variable cond;
  std::thread thread;
  std::uint64_t next_slice = 0; // the worker's next slice (under `mutex`)
  // What the owner has handed to the worker: slices below this number may be taken (under
  // `mutex`). The owner publishes a whole batch of input at once, with one wake-up.
  std::uint64_t published = 0;
  // Every slice below this number is encrypted and marked (the worker goes in order). The low
  // 32 bits suffice, compared by difference: a ring holds far fewer slices, and a 64-bit atomic
  // would take a lock on the 32-bit target.
  std::atomic<std::uint32_t> encrypted_upto{1}; // slices are numbered from 1
  aes_slice_fn slice_function = nullptr;
  // Chosen by the caller before aes_init_encryption; automatic is settled there.
  aes_mode mode = aes_mode::automatic;
  double slice_cost_us = 0; // what encrypting one full slice took at start-up
  bool failed = false;      // inline: a slice could not be encrypted (under `mutex`)
  alignas(8) std::uint8_t packet[aes_packet_size] = {};
  std::uint64_t cpu_time = 0;
  // Readable (an eventfd) whenever the worker has marked slices since the owner last read it,
  // so that a loop waiting in select() sends them at once; -1 without a worker.
  int ready_fd = -1;
  // Set by the owner's loop while it waits (idle or for its tick): only then is the signal
  // worth a system call.
  std::atomic<bool> loop_waiting{false};
  // Under `mutex`: set only when the record is released, so that the worker ends before the
  // memory it uses goes away. The daemon never releases a running record.
  bool stop = false;
};

struct tun_aes_deleter {
  void operator()(tun_aes *a) const;
};
using tun_aes_ptr = std::unique_ptr<tun_aes, tun_aes_deleter>;

// A zero-filled record bound to the context; AES-128 until AES_FLAG_256 is set.
tun_aes_ptr aes_new(NKCx *nk);

// 128 or 256, as the record's flags select.
inline int aes_bits(const tun_aes *a) {
  return (a->flags & AES_FLAG_256) ? 256 : 128;
}
// Length of the transmission key in bytes: 16 or 32.
inline std::size_t aes_key_len(const tun_aes *a) {
  return (a->flags & AES_FLAG_256) ? 32 : 16;
}

// Generates key and IV and prepares the cipher, without a worker: aes_encrypt may then be
// called directly (a single-threaded simulation does). 1 on success; 0 with the reason logged.
int aes_init_key(tun_aes *a);

// aes_init_key, then starts the worker on `slice_function` and opens `ready_fd`, and settles
// an automatic mode by timing the cipher on a full slice. 1 on success; 0 with the reason
// logged.
int aes_init_encryption(tun_aes *a, aes_slice_fn slice_function);

// AES-CTR over `data` (at most slice_payload_max bytes) from `counter`, in place; encryption
// and decryption are the same. The key is the one bound to `ctx`; aes_forget_keystreams must
// follow every change of it. False when the library fails: `init` tells whether setting the
// counter failed (else the cipher did); the data is then unchanged.
bool aes_ctr_apply(tun_aes *a, const std::uint8_t counter[aes_iv_len], std::span<std::uint8_t> data, bool *init);
void aes_forget_keystreams(tun_aes *a);

// The counter block of slice `seq` into iv_seq: the IV with 128 added to byte 0 for an odd
// number. Only the lowest bit of `seq` counts; keystreams repeat every two slices, which is
// what receivers in the field expect.
void aes_iv_seq(tun_aes *a, std::uint64_t seq);

// Encrypts the slice's TS bytes in place and marks it encrypted (under `mutex`); a slice next in
// order moves `encrypted_upto` on. 1 on success; 0 with the reason logged, the slice unchanged
// and unmarked.
int aes_encrypt(tun_aes *a, tun_slice *s);

// Whether slice `seq` (one the ring holds) is encrypted and marked: no lock, an acquire read
// that also makes the worker's bytes visible.
inline bool aes_encrypted(const tun_aes *a, std::uint64_t seq) {
  const std::uint32_t upto = a->encrypted_upto.load(std::memory_order_acquire);
  return static_cast<std::int32_t>(upto - static_cast<std::uint32_t>(seq)) > 0;
}

// Hands every slice below `next` to the worker: one lock and at most one wake-up for a batch.
// In inline mode it encrypts and marks them itself before it returns.
void aes_publish(tun_aes *a, std::uint64_t next);

// Ends the worker, if one runs, and waits for it. Whoever owns the record calls it before the
// pointer the slice function reaches the record through goes away.
void aes_stop(tun_aes *a);

// Empties `ready_fd` (after it was seen readable).
void aes_ready_clear(tun_aes *a);

// The worker: encrypts every slice that `slice_function` hands out, in order, and publishes its
// own CPU time. Whatever is published when it looks is taken under one lock, encrypted, marked
// under one lock and signalled once through `ready_fd`. Returns only once `stop` is set.
void *aes_decode_thread(void *record);
