#include "aes.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <system_error>
#include <unistd.h>

void aes_stop(tun_aes *a) {
  if (a == nullptr || !a->thread.joinable()) {
    return;
  }
  {
    std::lock_guard lock(a->mutex);
    a->stop = true;
  }
  a->cond.notify_all();
  a->thread.join();
}

void tun_aes_deleter::operator()(tun_aes *a) const {
  if (a == nullptr) {
    return;
  }
  aes_stop(a);
  EVP_CIPHER_CTX_free(a->ctx);
  EVP_PKEY_free(a->pkey);
  if (a->ready_fd >= 0) {
    close(a->ready_fd);
  }
  delete a;
}

tun_aes_ptr aes_new(NKCx *nk) {
  tun_aes_ptr a(new tun_aes{});
  a->nk = nk;
  return a;
}

namespace {

const EVP_CIPHER *cipher_of(const tun_aes *a) {
  return (a->flags & AES_FLAG_256) ? EVP_aes_256_ctr() : EVP_aes_128_ctr();
}

std::uint64_t thread_cpu_us() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000u;
}

// The cipher context keeps the key from here on, and only counter blocks change.
bool bind_key(tun_aes *a) {
  aes_forget_keystreams(a);
  return EVP_EncryptInit_ex(a->ctx, cipher_of(a), nullptr, a->key, nullptr) == 1;
}

// Encrypts the slice's TS bytes in place without marking it. False with the reason logged, the
// slice unchanged.
bool cipher_in_place(tun_aes *a, tun_slice *s) {
  const int bits = aes_bits(a);
  if (s->size > slice_max_packets) {
    nk_log(a->nk, LOG_ERR, "AES%d encrypt: sizes do not match", bits);
    return 0;
  }
  aes_iv_seq(a, s->seq);
  bool init = false;
  if (!aes_ctr_apply(a, a->iv_seq, std::span<std::uint8_t>(s->udp_data, ts_packet_size * s->size), &init)) {
    nk_log(a->nk, LOG_ERR, init ? "AES%d encrypt: unable to init EVP" : "AES%d encrypt: unable to perform encryption",
           bits);
    return 0;
  }
  return 1;
}

// A slice that fails to encrypt is never sent in clear, and the stream cannot go past it.
// A context damaged in some way is rebuilt and the slice tried once more; when that fails too,
// the transmitter cannot carry the stream any longer and the main loop is told to end it
// (SIGTERM, which the worker blocks, so it reaches the main thread). True when the slice was
// encrypted after all. The worker never returns false: it waits for the end. The main thread
// (inline mode) returns to its loop, which ends on the signal; the slice is never marked.
bool recover(tun_aes *a, tun_slice *s, bool on_worker) {
  EVP_CIPHER_CTX_free(a->ctx);
  a->ctx = EVP_CIPHER_CTX_new();
  if (a->ctx != nullptr && bind_key(a) && cipher_in_place(a, s)) {
    return true;
  }
  nk_log(a->nk, LOG_ERR, "AES%d: slice %llu cannot be encrypted. Stopping.", aes_bits(a),
         static_cast<unsigned long long>(s->seq));
  kill(getpid(), SIGTERM);
  if (on_worker) {
    std::unique_lock lock(a->mutex);
    a->cond.wait(lock, [a] { return a->stop; });
  }
  return false;
}

using slice_batch = std::array<tun_slice *, 64>;

// Takes what is published, in order, up to a batch; `mutex` is held.
std::size_t take_published(tun_aes *a, slice_batch &batch) {
  std::size_t n = 0;
  tun_slice *s = nullptr;
  while (n < batch.size() && (s = a->slice_function()) != nullptr) {
    batch[n++] = s;
    a->next_slice++;
  }
  return n;
}

// Encrypts a taken batch outside the lock, then marks it under one lock and moves
// `encrypted_upto` past it. False when a slice could not be encrypted (inline mode only: the
// process is ending, and nothing from that slice on is marked).
bool encrypt_batch(tun_aes *a, const slice_batch &batch, std::size_t n, bool on_worker) {
  std::size_t done = 0;
  while (done < n && (cipher_in_place(a, batch[done]) || recover(a, batch[done], on_worker))) {
    done++;
  }
  std::lock_guard lock(a->mutex);
  for (std::size_t i = 0; i < done; ++i) {
    batch[i]->encrypted = 1;
  }
  if (done == n) {
    // The batch is consecutive: every slice below the worker's position is marked now.
    a->encrypted_upto.store(static_cast<std::uint32_t>(a->next_slice), std::memory_order_release);
  }
  return done == n;
}

void signal_ready(tun_aes *a) {
  if (a->ready_fd >= 0 && a->loop_waiting.load(std::memory_order_acquire)) {
    const std::uint64_t one = 1;
    // A full counter (never in practice) still leaves the descriptor readable.
    [[maybe_unused]] const ssize_t n = write(a->ready_fd, &one, sizeof one);
  }
}

// What encrypting one full slice costs here, the fastest of a few tries (a try that was
// preempted only looks slower), in microseconds. The scratch slice never leaves.
double time_the_cipher(tun_aes *a) {
  auto scratch = std::make_unique<tun_slice>();
  scratch->size = slice_max_packets;
  double best = 1e9;
  for (int i = 0; i < 16; ++i) {
    timespec t0{};
    timespec t1{};
    clock_gettime(CLOCK_MONOTONIC, &t0);
    const bool ok = cipher_in_place(a, scratch.get());
    clock_gettime(CLOCK_MONOTONIC, &t1);
    if (!ok) {
      return 1e9;
    }
    const double us =
        static_cast<double>(t1.tv_sec - t0.tv_sec) * 1e6 + static_cast<double>(t1.tv_nsec - t0.tv_nsec) / 1e3;
    best = us < best ? us : best;
  }
  return best;
}

} // namespace

void aes_forget_keystreams(tun_aes *a) {
  // Nothing of the old key's keystreams stays in memory; zeroed entries are not valid.
  OPENSSL_cleanse(a->keystream, sizeof a->keystream);
  a->keystream_next = 0;
}

bool aes_ctr_apply(tun_aes *a, const std::uint8_t counter[aes_iv_len], std::span<std::uint8_t> data, bool *init) {
  *init = false;
  if (data.size() > slice_payload_max) {
    return false;
  }
  aes_keystream *k = nullptr;
  for (aes_keystream &e : a->keystream) {
    if (e.valid && std::memcmp(e.counter, counter, aes_iv_len) == 0) {
      k = &e;
      break;
    }
  }
  if (k == nullptr) {
    // Setting the library's counter goes through its parameter lookups and costs more than
    // enciphering a slice: it happens once per counter block and key, not once per slice.
    k = &a->keystream[a->keystream_next];
    a->keystream_next = (a->keystream_next + 1) % aes_keystreams;
    k->valid = false;
    if (a->ctx == nullptr || EVP_EncryptInit_ex(a->ctx, nullptr, nullptr, nullptr, counter) != 1) {
      *init = true;
      return false;
    }
    std::memset(k->bytes, 0, sizeof k->bytes);
    int n = 0;
    if (EVP_EncryptUpdate(a->ctx, k->bytes, &n, k->bytes, static_cast<int>(sizeof k->bytes)) != 1 ||
        n != static_cast<int>(sizeof k->bytes)) {
      return false;
    }
    std::memcpy(k->counter, counter, aes_iv_len);
    k->valid = true;
  }
  std::uint8_t *d = data.data();
  const std::uint8_t *ks = k->bytes;
  std::size_t i = 0;
  for (; i + 8 <= data.size(); i += 8) {
    std::uint64_t x = 0;
    std::uint64_t y = 0;
    std::memcpy(&x, d + i, 8);
    std::memcpy(&y, ks + i, 8);
    x ^= y;
    std::memcpy(d + i, &x, 8);
  }
  for (; i < data.size(); ++i) {
    d[i] = static_cast<std::uint8_t>(d[i] ^ ks[i]);
  }
  return true;
}

int aes_init_key(tun_aes *a) {
  // The worker may be inside the cipher when the main thread ends the process; library
  // clean-up at exit would pull the cipher from under it.
  OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
  if (RAND_load_file("/dev/urandom", 2048) <= 0) {
    nk_log(a->nk, LOG_ERR, "Unable to seed PRNG\n");
    return 0;
  }
  EVP_CIPHER_CTX_free(a->ctx);
  a->ctx = EVP_CIPHER_CTX_new();
  if (a->ctx == nullptr) {
    nk_log(a->nk, LOG_ERR, "Unable to create cipher ctx\n");
    return 0;
  }
  if (EVP_EncryptInit_ex(a->ctx, cipher_of(a), nullptr, nullptr, nullptr) != 1) {
    nk_log(a->nk, LOG_ERR, "Unable to init AES%d\n", aes_bits(a));
    return 0;
  }
  if (EVP_CIPHER_CTX_rand_key(a->ctx, a->key) <= 0) {
    nk_log(a->nk, LOG_ERR, "Unable to generate a key\n");
    return 0;
  }
  const int iv_len = EVP_CIPHER_CTX_get_iv_length(a->ctx);
  if (iv_len != static_cast<int>(aes_iv_len) || RAND_bytes(a->iv, iv_len) != 1) {
    nk_log(a->nk, LOG_ERR, "Unable to generate IV (%d)\n", iv_len);
    return 0;
  }
  if (!bind_key(a)) {
    nk_log(a->nk, LOG_ERR, "Unable to init AES%d\n", aes_bits(a));
    return 0;
  }
  return 1;
}

int aes_init_encryption(tun_aes *a, aes_slice_fn slice_function) {
  if (!aes_init_key(a)) {
    return 0;
  }
  a->slice_function = slice_function;
  if (a->ready_fd < 0) {
    a->ready_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (a->ready_fd < 0) {
      nk_log(a->nk, LOG_ERR, "Unable to create the AES ready signal: %s\n", std::strerror(errno));
      return 0;
    }
  }
  a->slice_cost_us = time_the_cipher(a);
  if (a->mode == aes_mode::automatic) {
    a->mode = a->slice_cost_us < aes_inline_max_us ? aes_mode::inline_cipher : aes_mode::worker;
  }
  // SIGALRM and SIGTERM must always reach the main loop, never interrupt the worker.
  sigset_t all;
  sigset_t old;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &old);
  bool started = true;
  try {
    a->thread = std::thread(aes_decode_thread, a);
  } catch (const std::system_error &) {
    started = false;
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (!started) {
    nk_log(a->nk, LOG_ERR, "Unable to start the AES thread\n");
    return 0;
  }
  nk_log(a->nk, LOG_NOTICE, "AES%d Encryption Initialised", aes_bits(a));
  nk_log(a->nk, LOG_INFO, "AES%d: a slice takes %.2f us to encrypt here; slices are encrypted %s",
         aes_bits(a), a->slice_cost_us,
         a->mode == aes_mode::inline_cipher ? "as they arrive" : "by the AES thread");
  return 1;
}

void aes_iv_seq(tun_aes *a, std::uint64_t seq) {
  std::memcpy(a->iv_seq, a->iv, aes_iv_len);
  if (seq & 1u) {
    a->iv_seq[0] = static_cast<std::uint8_t>(a->iv_seq[0] + 128u);
  }
}

int aes_encrypt(tun_aes *a, tun_slice *s) {
  if (!cipher_in_place(a, s)) {
    return 0;
  }
  std::lock_guard lock(a->mutex);
  s->encrypted = 1;
  const auto seq = static_cast<std::uint32_t>(s->seq);
  if (a->encrypted_upto.load(std::memory_order_relaxed) == seq) {
    a->encrypted_upto.store(seq + 1u, std::memory_order_release);
  }
  return 1;
}

void aes_publish(tun_aes *a, std::uint64_t next) {
  if (a->mode == aes_mode::inline_cipher) {
    // The worker never takes anything in this mode; the lock only orders this thread's work
    // with the once-a-second statistics and the worker's idle wait.
    slice_batch batch{};
    for (;;) {
      std::size_t n = 0;
      {
        std::lock_guard lock(a->mutex);
        if (a->failed) {
          return; // the process is ending; nothing after the failed slice may be marked
        }
        a->published = next > a->published ? next : a->published;
        n = take_published(a, batch);
      }
      if (n == 0) {
        return;
      }
      if (!encrypt_batch(a, batch, n, false)) {
        std::lock_guard lock(a->mutex);
        a->failed = true;
        return;
      }
    }
  }
  {
    std::lock_guard lock(a->mutex);
    if (next <= a->published) {
      return;
    }
    a->published = next;
  }
  a->cond.notify_one();
}

void aes_ready_clear(tun_aes *a) {
  std::uint64_t count = 0;
  [[maybe_unused]] const ssize_t n = read(a->ready_fd, &count, sizeof count);
}

void *aes_decode_thread(void *record) {
  auto *a = static_cast<tun_aes *>(record);
  nk_log(a->nk, LOG_INFO, "AES thread started");
  std::uint64_t cpu = thread_cpu_us();
  unsigned batches = 0;
  // One lock to take what is published, one to mark it, one signal back: the lock and the
  // wake-ups no longer cost more than the cipher.
  slice_batch batch{};
  for (;;) {
    std::size_t n = 0;
    {
      std::unique_lock lock(a->mutex);
      a->cpu_time = cpu;
      // Inline, the publishing thread takes and encrypts everything itself.
      while (!a->stop && (a->mode == aes_mode::inline_cipher || (n = take_published(a, batch)) == 0)) {
        a->cond.wait(lock);
      }
      if (a->stop) {
        return nullptr;
      }
    }
    encrypt_batch(a, batch, n, true);
    signal_ready(a);
    // The CPU clock is a system call of its own: read every 16th batch, which keeps the
    // published figure at most a few batches behind for the once-a-second report.
    if (++batches % 16 == 0) {
      cpu = thread_cpu_us();
    }
  }
}
