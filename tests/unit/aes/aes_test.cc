#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <openssl/rsa.h>
#include <poll.h>
#include <thread>

#include "aes_exchange.h"
#include "aes_receive.h"
#include "capture.h"
#include "clock.h"
#include "counters.h"
#include "input.h"
#include "loop.h"
#include "net.h"
#include "send.h"
#include "snapshot.h"
#include "tx_fixture.h"

namespace {

using bytes = std::vector<std::uint8_t>;

NKCx *test_nk() {
  static NKCx nk{};
  return &nk;
}

tun_slice *no_slices() {
  return nullptr;
}

// AES-CTR over `in` from `block`, through a context of its own: the reference that the
// module's output must equal.
bytes reference_ctr(const std::uint8_t *key, bool wide, const std::uint8_t block[16], const std::uint8_t *in,
                    std::size_t len) {
  EVP_CIPHER_CTX *c = EVP_CIPHER_CTX_new();
  EXPECT_EQ(EVP_EncryptInit_ex(c, wide ? EVP_aes_256_ctr() : EVP_aes_128_ctr(), nullptr, key, block), 1);
  bytes out(len + 16);
  int n = 0;
  EXPECT_EQ(EVP_EncryptUpdate(c, out.data(), &n, in, static_cast<int>(len)), 1);
  EVP_CIPHER_CTX_free(c);
  out.resize(static_cast<std::size_t>(n));
  return out;
}

// The counter block of slice `seq`, computed here from its definition.
std::array<std::uint8_t, 16> block_of(const tun_aes *a, std::uint64_t seq) {
  std::array<std::uint8_t, 16> b{};
  std::memcpy(b.data(), a->iv, 16);
  b[0] = static_cast<std::uint8_t>(b[0] + ((seq % 2) ? 128 : 0));
  return b;
}

bytes pattern(std::size_t len, std::uint64_t seed) {
  bytes b(len);
  for (std::size_t i = 0; i < len; ++i) {
    b[i] = static_cast<std::uint8_t>((i * 7 + seed * 13) ^ (seed >> 3));
  }
  return b;
}

void fill_slice(tun_slice *s, std::uint64_t seq, unsigned n) {
  s->seq = seq;
  s->size = static_cast<std::uint8_t>(n) & 0x7F;
  s->encrypted = 0;
  const bytes p = pattern(sizeof s->udp_data, seq);
  std::memcpy(s->udp_data, p.data(), p.size());
}

// A transmitter record with a fresh key and IV and an idle worker.
tun_aes_ptr transmitter(bool wide) {
  tun_aes_ptr a = aes_new(test_nk());
  if (wide) {
    a->flags |= AES_FLAG_256;
  }
  EXPECT_EQ(aes_init_encryption(a.get(), no_slices), 1);
  return a;
}

// Receiving ends share two key pairs made once: RSA key generation is the slow part.
tun_aes_ptr receiver(int which = 0) {
  static tun_aes_ptr made[2];
  if (!made[which]) {
    made[which] = aes_new(test_nk());
    EXPECT_EQ(aes_init_decryption(made[which].get()), 1);
  }
  tun_aes_ptr r = aes_new(test_nk());
  EVP_PKEY_up_ref(made[which]->pkey);
  r->pkey = made[which]->pkey;
  std::memcpy(r->packet, made[which]->packet, sizeof r->packet);
  r->ctx = EVP_CIPHER_CTX_new();
  return r;
}

bytes request_of(tun_aes *rx) {
  const timespec64 now{};
  const auto *h = aes_get_request_packet(rx, &now);
  const auto *p = reinterpret_cast<const std::uint8_t *>(h);
  return bytes(p, p + aes_request_length(rx));
}

bytes reply_for(tun_aes *tx, const bytes &request) {
  alignas(8) static std::uint8_t buf[aes_packet_size];
  const auto *h = aes_get_response_packet(tx, request, std::span<std::uint8_t, aes_packet_size>(buf));
  if (h == nullptr) {
    return {};
  }
  return bytes(buf, buf + 8 + tun_body_length(h));
}

std::size_t count_of(const std::string &text, const std::string &what) {
  std::size_t n = 0;
  for (auto p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) {
    ++n;
  }
  return n;
}

// Waits for something another thread does; the bound only stops a hung test.
template <typename Pred> bool eventually(Pred pred) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

// DER of an RSAPublicKey with a modulus of `bits` bits (top and bottom bit set) and the
// exponent 65537, or one of `e_bytes` bytes.
bytes der_public_key(std::size_t bits, std::size_t e_bytes = 0) {
  auto len_of = [](std::size_t n) {
    bytes l;
    if (n < 128) {
      l.push_back(static_cast<std::uint8_t>(n));
    } else {
      l = {0x82, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n & 0xFF)};
    }
    return l;
  };
  bytes n(bits / 8, 0x5A);
  n.front() = 0x80;
  n.back() = 0x01;
  n.insert(n.begin(), 0x00); // positive INTEGER
  bytes body = {0x02};
  const bytes nl = len_of(n.size());
  body.insert(body.end(), nl.begin(), nl.end());
  body.insert(body.end(), n.begin(), n.end());
  if (e_bytes == 0) {
    body.insert(body.end(), {0x02, 0x03, 0x01, 0x00, 0x01});
  } else {
    bytes e(e_bytes, 0x33);
    e.back() = 0x01;
    body.push_back(0x02);
    const bytes el = len_of(e.size());
    body.insert(body.end(), el.begin(), el.end());
    body.insert(body.end(), e.begin(), e.end());
  }
  bytes der = {0x30};
  const bytes bl = len_of(body.size());
  der.insert(der.end(), bl.begin(), bl.end());
  der.insert(der.end(), body.begin(), body.end());
  return der;
}

bytes request_with(const bytes &der) {
  bytes r = {0x48,
             0x21,
             0x47,
             0x20,
             7,
             TUN_AES_REQUEST,
             static_cast<std::uint8_t>(der.size() & 0xFF),
             static_cast<std::uint8_t>(der.size() >> 8)};
  r.insert(r.end(), der.begin(), der.end());
  return r;
}

// ---------------------------------------------------------------------------------------------
// Counter blocks and slice encryption

TEST(AesCounter, OnlyTheLowestBitOfTheSequenceNumberCounts) {
  tun_aes a;
  for (std::size_t i = 0; i < 16; ++i) {
    a.iv[i] = static_cast<std::uint8_t>(0xF0 + i);
  }
  aes_iv_seq(&a, 0);
  const bytes zero(a.iv_seq, a.iv_seq + 16);
  EXPECT_EQ(zero, bytes(a.iv, a.iv + 16));
  for (std::uint64_t seq : {std::uint64_t{2}, std::uint64_t{1} << 40, ~std::uint64_t{1}}) {
    aes_iv_seq(&a, seq);
    EXPECT_EQ(bytes(a.iv_seq, a.iv_seq + 16), zero) << seq;
  }
  for (std::uint64_t seq : {std::uint64_t{1}, std::uint64_t{3}, ~std::uint64_t{0}}) {
    aes_iv_seq(&a, seq);
    bytes odd = zero;
    odd[0] = 0x70; // 0xF0 + 128, modulo 256
    EXPECT_EQ(bytes(a.iv_seq, a.iv_seq + 16), odd) << seq;
  }
}

TEST(AesEncrypt, EachSliceIsStandardCtrFromItsCounterBlock) {
  for (bool wide : {false, true}) {
    tun_aes_ptr a = transmitter(wide);
    // One context serves slice after slice; lengths that end inside a block must not carry
    // keystream over into the next slice.
    const unsigned sizes[] = {7, 1, 0, 3, 7, 2};
    for (std::uint64_t seq = 1; seq <= 6; ++seq) {
      const unsigned n = sizes[seq - 1];
      tun_slice s{};
      fill_slice(&s, seq, n);
      const tun_slice before = s;
      ASSERT_EQ(aes_encrypt(a.get(), &s), 1);
      EXPECT_EQ(s.encrypted, 1);
      EXPECT_EQ(s.size, n);
      const auto block = block_of(a.get(), seq);
      EXPECT_EQ(bytes(s.udp_data, s.udp_data + 188 * n),
                reference_ctr(a->key, wide, block.data(), before.udp_data, 188 * n))
          << "AES" << (wide ? 256 : 128) << " slice " << seq;
      EXPECT_EQ(std::memcmp(s.udp_data + 188 * n, before.udp_data + 188 * n, sizeof s.udp_data - 188 * n), 0)
          << "nothing beyond the TS packets is touched";
    }
  }
}

TEST(AesEncrypt, KeptKeystreamsNeverOutliveTheirCounterBlockOrKey) {
  tun_aes a;
  a.ctx = EVP_CIPHER_CTX_new();
  std::uint8_t key[32];
  for (std::size_t i = 0; i < sizeof key; ++i) {
    key[i] = static_cast<std::uint8_t>(i * 29 + 5);
  }
  // More counter blocks in turn than there are kept keystreams, so that entries are replaced,
  // and lengths of none, part of a block, one and a bit, and a whole slice.
  std::array<std::array<std::uint8_t, 16>, 3> counters{};
  for (std::size_t c = 0; c < counters.size(); ++c) {
    counters[c].fill(static_cast<std::uint8_t>(0x11 * (c + 1)));
  }
  counters[2][15] = 0xFF; // carries into the byte before within the first blocks
  const bytes in = pattern(slice_payload_max, 3);
  for (bool wide : {false, true}) {
    // Re-keying (the receiver takes a new reply) must drop what the old key made.
    for (int rekey = 0; rekey < 2; ++rekey) {
      key[0] = static_cast<std::uint8_t>(rekey);
      aes_forget_keystreams(&a);
      ASSERT_EQ(EVP_EncryptInit_ex(a.ctx, wide ? EVP_aes_256_ctr() : EVP_aes_128_ctr(), nullptr, key, nullptr), 1);
      for (int round = 0; round < 2; ++round) {
        for (const auto &counter : counters) {
          for (std::size_t len : {std::size_t{0}, std::size_t{15}, std::size_t{17}, slice_payload_max}) {
            bytes data(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(len));
            bool init = true;
            ASSERT_TRUE(aes_ctr_apply(&a, counter.data(), data, &init));
            EXPECT_FALSE(init);
            EXPECT_EQ(data, reference_ctr(key, wide, counter.data(), in.data(), len))
                << "AES" << (wide ? 256 : 128) << " key " << rekey << " counter " << int(counter[0]) << " length "
                << len;
          }
        }
      }
    }
  }
  bytes big(slice_payload_max + 1);
  bool init = true;
  EXPECT_FALSE(aes_ctr_apply(&a, counters[0].data(), big, &init)) << "longer than a slice";
  EVP_CIPHER_CTX_free(a.ctx);
}

// ---------------------------------------------------------------------------------------------
// Key exchange, both ends

TEST(AesExchange, EachReceiverGetsTheOneKeyAndDecryptsWhatWentIn) {
  for (bool wide : {false, true}) {
    tun_aes_ptr tx = transmitter(wide);
    tun_aes_ptr a = receiver(0);
    tun_aes_ptr b = receiver(1);
    const bytes ra = reply_for(tx.get(), request_of(a.get()));
    const bytes rb = reply_for(tx.get(), request_of(b.get()));
    ASSERT_EQ(ra.size(), wide ? 8u + 288u : 8u + 272u);
    EXPECT_EQ(aes_receive_key(b.get(), ra), 0) << "a reply made for another key does not decrypt";
    ASSERT_EQ(aes_receive_key(a.get(), ra), 1);
    ASSERT_EQ(aes_receive_key(b.get(), rb), 1);
    EXPECT_EQ(a->flags, AES_FLAG_KEY_RECEIVED | (wide ? AES_FLAG_256 : 0));
    for (tun_aes *r : {a.get(), b.get()}) {
      EXPECT_EQ(bytes(r->key, r->key + 32), bytes(tx->key, tx->key + 32));
      EXPECT_EQ(bytes(r->iv, r->iv + 32), bytes(tx->iv, tx->iv + 32));
    }
    for (std::uint64_t seq : {1u, 2u, 7u}) {
      tun_slice s{};
      fill_slice(&s, seq, 7);
      const tun_slice clear = s;
      ASSERT_EQ(aes_encrypt(tx.get(), &s), 1);
      // The receiver numbers slices from its own origin; the offset takes it back.
      s.seq += 1000;
      ASSERT_EQ(aes_decrypt(a.get(), &s, 1000), 1);
      EXPECT_EQ(s.encrypted, 0);
      EXPECT_EQ(std::memcmp(s.udp_data, clear.udp_data, 1316), 0) << seq;
    }
  }
}

TEST(AesExchange, HostileRequestsAreLoggedAndRefused) {
  fd_capture err;
  tun_aes_ptr tx = transmitter(false);
  tun_aes_ptr rx = receiver();
  const bytes good = request_of(rx.get());

  std::size_t refused = 0;
  for (std::size_t cut = 0; cut < good.size(); ++cut) {
    // Exactly the bytes that arrived, so that a read past them is seen by the sanitizer.
    const bytes part(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut));
    refused += reply_for(tx.get(), part).empty();
  }
  EXPECT_EQ(refused, good.size()) << "every truncated request";

  bytes longer_claim = good;
  longer_claim[7] = 9; // claims 2574 bytes: only what arrived is read, and it is a whole key
  EXPECT_FALSE(reply_for(tx.get(), longer_claim).empty());
  bytes shorter_claim = good;
  shorter_claim[6] = 100;
  shorter_claim[7] = 0;
  EXPECT_TRUE(reply_for(tx.get(), shorter_claim).empty()) << "the body length bounds the key";
  bytes garbage = good;
  garbage[8] = 0x31;
  EXPECT_TRUE(reply_for(tx.get(), garbage).empty());
  EXPECT_EQ(count_of(err.text(), "Unable to decode public key"), good.size() + 2);

  // The ciphertext is as long as the modulus: 8000 bits just fit the AES-128 reply packet,
  // not the AES-256 one with its longer IV field.
  const bytes big = request_with(der_public_key(8000));
  EXPECT_EQ(reply_for(tx.get(), big).size(), 8u + 16u + 1000u);
  tun_aes_ptr wide = transmitter(true);
  EXPECT_TRUE(reply_for(wide.get(), big).empty());
  EXPECT_TRUE(reply_for(tx.get(), request_with(der_public_key(64))).empty()) << "too small for the padding";
  EXPECT_FALSE(reply_for(tx.get(), request_with(der_public_key(3072, 4))).empty());
  EXPECT_TRUE(reply_for(tx.get(), request_with(der_public_key(3072, 5))).empty()) << "an exponent of 40 bits";
  EXPECT_EQ(count_of(err.text(), "Unable to encrypt tranmission key"), 3u);
}

TEST(AesReceive, BadRepliesLeaveAnEarlierKeyInUse) {
  fd_capture err;
  tun_aes_ptr tx = transmitter(false);
  tun_aes_ptr rx = receiver();
  tun_slice s{};
  fill_slice(&s, 3, 7);
  const tun_slice clear = s;
  EXPECT_EQ(aes_decrypt(rx.get(), &s, 0), 0) << "no key yet";
  EXPECT_EQ(std::memcmp(s.udp_data, clear.udp_data, 1316), 0);

  const bytes good = reply_for(tx.get(), request_of(rx.get()));
  ASSERT_EQ(aes_receive_key(rx.get(), good), 1);

  bytes forged = good;
  forged[5] = 0x25;
  forged.resize(8 + 288, 0xEE); // a longer IV field shifts the key: it no longer decrypts
  EXPECT_EQ(aes_receive_key(rx.get(), forged), 0);
  EXPECT_EQ(aes_receive_key(rx.get(), bytes(good.begin(), good.end() - 1)), 0) << "one byte short";
  EXPECT_EQ(aes_receive_key(rx.get(), bytes(good.begin(), good.begin() + 5)), 0);
  EXPECT_EQ(count_of(err.text(), "Unable to decrypt AES256 transmission key"), 1u);
  EXPECT_EQ(count_of(err.text(), "Unable to decrypt AES128 transmission key"), 2u);

  // A well-formed reply with a key of the wrong length.
  bytes wrong = good;
  {
    EVP_PKEY_CTX *c = EVP_PKEY_CTX_new(rx->pkey, nullptr);
    EVP_PKEY_encrypt_init(c);
    EVP_PKEY_CTX_set_rsa_padding(c, RSA_PKCS1_PADDING);
    std::size_t len = 256;
    const std::uint8_t twenty[20] = {};
    ASSERT_GT(EVP_PKEY_encrypt(c, wrong.data() + 24, &len, twenty, sizeof twenty), 0);
    EVP_PKEY_CTX_free(c);
  }
  EXPECT_EQ(aes_receive_key(rx.get(), wrong), 0);
  EXPECT_NE(err.text().find("Unable to decrypt AES128 tranmission key 20!=16"), std::string::npos);

  EXPECT_EQ(rx->flags, AES_FLAG_KEY_RECEIVED) << "still keyed for AES-128";
  ASSERT_EQ(aes_encrypt(tx.get(), &s), 1);
  ASSERT_EQ(aes_decrypt(rx.get(), &s, 0), 1);
  EXPECT_EQ(std::memcmp(s.udp_data, clear.udp_data, 1316), 0);

  s.size = 100; // a hostile size field: more than the slice can hold
  s.encrypted = 1;
  EXPECT_EQ(aes_decrypt(rx.get(), &s, 0), 0);
  EXPECT_EQ(s.encrypted, 1);
}

// ---------------------------------------------------------------------------------------------
// The worker beside the network thread

class Worker : public testing::Test {
protected:
  udp_end rx;
  udp_end src;
  fd_capture err;
  std::unique_ptr<tesseltx> t;
  int in_port = 0;
  aes_mode mode = aes_mode::worker; // who encrypts: forced, the machine's speed must not decide
  aes_slice_fn slices = tun_aes_condition;

  void start(std::vector<std::string> extra) {
    std::vector<std::string> args = {"-s", "127.0.0.1:0", "-d", rx.addr(), "-e", "1000000", "-K"};
    args.insert(args.end(), extra.begin(), extra.end());
    t = parsed(args);
    ready_ring(t.get());
    sockaddr_in sin{};
    socklen_t len = sizeof sin;
    getsockname(t->socket, reinterpret_cast<sockaddr *>(&sin), &len);
    in_port = ntohs(sin.sin_port);
    tx_read_monotonic(&t->now);
    t->aes->mode = mode;
    ASSERT_EQ(aes_init_encryption(t->aes.get(), slices), 1);
    ASSERT_EQ(t->aes->mode, mode);
  }
  void feed(const bytes &d) {
    src.send_to(in_port, d.data(), d.size());
    pollfd p{t->socket, POLLIN, 0};
    poll(&p, 1, 5000);
    tx_read_monotonic(&t->now);
    gettimeofday(&t->now_tv, nullptr);
    tun_net_rx(t.get());
  }
  // One pass of the transmissions, as the main loop makes it; returns what the receiver got.
  std::vector<bytes> pass() {
    tx_read_monotonic(&t->now);
    int max_fd = 0;
    fd_set r;
    fd_set w;
    FD_ZERO(&r);
    FD_ZERO(&w);
    tr_fdset(t->tr, &max_fd, &r, &w);
    timeval zero{0, 0};
    select(max_fd + 1, &r, &w, nullptr, &zero);
    tr_fdsel(t->tr, &r, &w);
    std::vector<bytes> got;
    for (;;) {
      bytes b(2048);
      const ssize_t n = recv(rx.fd, b.data(), b.size(), MSG_DONTWAIT);
      if (n <= 0) {
        return got;
      }
      b.resize(static_cast<std::size_t>(n));
      got.push_back(std::move(b));
    }
  }

  void every_slice_leaves_encrypted_and_in_order();
  void a_damaged_context_is_rebuilt();
};

void Worker::every_slice_leaves_encrypted_and_in_order() {
  start({});
  const std::size_t count = 1500;
  std::vector<bytes> data;
  for (std::size_t i = 0; i < count; ++i) {
    const unsigned n = static_cast<unsigned>(i % 8);
    data.push_back(pattern(188 * n + (i % 3), i));
    if (data.back().empty()) {
      data.back().push_back(1);
    }
  }
  std::vector<bytes> sent;
  auto collect = [&](std::vector<bytes> got) {
    for (auto &p : got) {
      if ((p[5] & 0x3F) == TUN_DATA) {
        sent.push_back(std::move(p));
      }
    }
  };
  for (const auto &d : data) {
    feed(d);
    collect(pass());
  }
  ASSERT_TRUE(eventually([&] {
    collect(pass());
    return sent.size() == count;
  })) << sent.size();

  tun_aes *a = t->aes.get();
  for (std::size_t i = 0; i < count; ++i) {
    const bytes &p = sent[i];
    std::uint64_t seq = 0;
    std::memcpy(&seq, p.data() + 24, 8);
    ASSERT_EQ(seq, i + 1);
    const unsigned n = p[48] & 0x7F;
    ASSERT_EQ(p[48] & 0x80, 0x80) << "slice " << seq << " left in clear";
    ASSERT_EQ(n, data[i].size() / 188);
    const auto block = block_of(a, seq);
    EXPECT_EQ(bytes(p.begin() + 49, p.begin() + 49 + static_cast<std::ptrdiff_t>(188 * n)),
              reference_ctr(a->key, false, block.data(), data[i].data(), 188 * n))
        << seq;
  }
  {
    std::lock_guard lock(a->mutex);
    EXPECT_EQ(a->next_slice, t->next);
    if (mode == aes_mode::worker) {
      EXPECT_GT(a->cpu_time, 0u);
    }
  }
  if (mode == aes_mode::worker) {
    tun_stats_snapshot(t.get());
    EXPECT_GT(t->stat2.t_aes, 0u);
  }
  EXPECT_NE(err.text().find("AES thread started"), std::string::npos);
}

TEST_F(Worker, EverySliceLeavesEncryptedAndInOrder) {
  every_slice_leaves_encrypted_and_in_order();
}

// Where the cipher is cheap the input path encrypts as it publishes: the same bytes leave, and
// a slice goes out in the pass that read it.
TEST_F(Worker, InlineEverySliceLeavesEncryptedAndInOrder) {
  mode = aes_mode::inline_cipher;
  every_slice_leaves_encrypted_and_in_order();
  feed(pattern(188 * 7, 7));
  EXPECT_NE(is_encrypted(t.get(), tx_ring_slot(t.get(), t->next - 1)), 0) << "encrypted as it was read";
}

// The worker takes a whole burst at once and says so through one descriptor, which the loop
// watches: an encrypted slice goes out at once, not on the next input or after the idle wait.
TEST_F(Worker, ABurstIsEncryptedInOneGoAndTheLoopIsWokenForIt) {
  start({});
  tun_aes *a = t->aes.get();
  ASSERT_GE(a->ready_fd, 0);
  aes_ready_clear(a);
  pollfd p{a->ready_fd, POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 0), 0) << "read empties the signal";
  t->tr->info_request = 0;
  t->tr->last_info = t->now;

  for (int i = 0; i < 20; ++i) {
    feed(pattern(188 * 7, static_cast<std::size_t>(i)));
  }
  ASSERT_TRUE(eventually([&] { return is_encrypted(t.get(), &t->buffer[20]) != 0; }));
  EXPECT_EQ(poll(&p, 1, 0), 0) << "no signal while the loop is not waiting for one";
  a->loop_waiting = true;
  for (int i = 20; i < 40; ++i) {
    feed(pattern(188 * 7, static_cast<std::size_t>(i)));
  }
  ASSERT_EQ(t->next, 41u);
  ASSERT_TRUE(eventually([&] { return is_encrypted(t.get(), &t->buffer[40]) != 0; }));
  EXPECT_EQ(poll(&p, 1, 0), 1) << "the finished burst is signalled to a waiting loop";
  a->loop_waiting = false;
  for (int i = 1; i <= 40; ++i) {
    EXPECT_NE(is_encrypted(t.get(), &t->buffer[static_cast<std::size_t>(i)]), 0) << i;
  }

  // A lone slice after an idle stretch: the pass that reads it may find it still in clear; the
  // next one must not sit out the 100 ms idle wait for it.
  for (int i = 0; i < 3; ++i) {
    tx_loop_pass(t.get());
  }
  while (!rx.recv_one().empty()) {
  }
  const auto t0 = std::chrono::steady_clock::now();
  feed(pattern(188 * 7, 99));
  for (int i = 0; i < 5 && t->tr->next_slice < t->next; ++i) {
    tx_loop_pass(t.get());
  }
  const auto took = std::chrono::steady_clock::now() - t0;
  EXPECT_EQ(t->tr->next_slice, t->next);
  EXPECT_LT(took, std::chrono::milliseconds(50));
  EXPECT_FALSE(rx.recv_one().empty());
}

// A worker slow enough (a fifth of a tick a slice) that the pass which read a slice finds it
// still in clear, however loaded the machine.
tun_slice *slow_slices() {
  tun_slice *s = tun_aes_condition();
  if (s != nullptr) {
    std::this_thread::sleep_for(std::chrono::microseconds(tx_tick_us / 5));
  }
  return s;
}

// While the stream flows the loop ticks; the worker's signal still ends the tick, so a slice
// read in one pass leaves as soon as it is encrypted instead of a tick later. (The quickest of a
// few tries: without the signal no such pass returns before its tick.)
TEST_F(Worker, WhileTickingTheWorkersSignalEndsTheTick) {
  slices = slow_slices;
  start({});
  t->tr->info_request = 0;
  t->tr->last_info = t->now;
  auto quickest = std::chrono::steady_clock::duration::max();
  int tries = 0;
  for (int i = 0; i < 40 && tries < 10; ++i) {
    const bytes d = pattern(188 * 7, static_cast<std::size_t>(i));
    src.send_to(in_port, d.data(), d.size());
    tx_loop_pass(t.get()); // reads it and hands it to the worker
    if (t->tr->next_slice == t->next) {
      continue; // the worker was quicker than the send phase: nothing left to time
    }
    tries++;
    // A signal left over from an earlier slice may end a wait before this one is done: passes
    // until it has left.
    const auto t0 = std::chrono::steady_clock::now();
    while (t->tr->next_slice < t->next && std::chrono::steady_clock::now() - t0 < std::chrono::milliseconds(100)) {
      tx_loop_pass(t.get());
    }
    quickest = std::min(quickest, std::chrono::steady_clock::now() - t0);
    EXPECT_EQ(t->tr->next_slice, t->next);
  }
  ASSERT_GE(tries, 5);
  EXPECT_LT(quickest, std::chrono::microseconds(tx_tick_us * 3 / 4));
}

void Worker::a_damaged_context_is_rebuilt() {
  start({"-L"});
  tun_aes *a = t->aes.get();
  // Nothing is published yet: the worker waits under the lock and does not touch its context.
  {
    std::lock_guard lock(a->mutex);
    EVP_CIPHER_CTX_reset(a->ctx);
  }
  const bytes d = pattern(188 * 7, 1);
  feed(d);
  tun_slice *s = &t->buffer[1];
  ASSERT_TRUE(eventually([&] { return is_encrypted(t.get(), s) != 0; }));
  const auto block = block_of(a, 1);
  EXPECT_EQ(bytes(s->udp_data, s->udp_data + 1316),
            reference_ctr(a->key, true, block.data(), d.data(), 1316));
  EXPECT_NE(err.text().find("AES256 encrypt: unable to init EVP"), std::string::npos);
}

TEST_F(Worker, ADamagedContextIsRebuiltAndTheSliceStillGoes) {
  a_damaged_context_is_rebuilt();
}

TEST_F(Worker, InlineADamagedContextIsRebuiltAndTheSliceStillGoes) {
  mode = aes_mode::inline_cipher;
  a_damaged_context_is_rebuilt();
}

TEST_F(Worker, EachOutputSendsTheReplyMadeForItsOwnReceiver) {
  udp_end rx2;
  start({"-d", rx2.addr()});
  transmission *tr0 = t->tr;
  transmission *tr1 = t->tr->next;
  tun_aes_ptr a = receiver(0);
  tun_aes_ptr b = receiver(1);
  int port[2] = {};
  for (transmission *tr : {tr0, tr1}) {
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(tr->sock, reinterpret_cast<sockaddr *>(&sin), sizeof sin), 0);
    socklen_t len = sizeof sin;
    getsockname(tr->sock, reinterpret_cast<sockaddr *>(&sin), &len);
    port[tr->id] = ntohs(sin.sin_port);
  }
  const bytes ra = request_of(a.get());
  const bytes rb = request_of(b.get());
  rx.send_to(port[0], ra.data(), ra.size());
  rx2.send_to(port[1], rb.data(), rb.size());
  // Both requests are in before either output has sent its reply.
  tr_net_rx(tr0);
  tr_net_rx(tr1);
  tr_net_tx(tr0);
  tr_net_tx(tr1);
  const bytes got_a = rx.recv_one();
  const bytes got_b = rx2.recv_one();
  EXPECT_EQ(aes_receive_key(a.get(), got_a), 1);
  EXPECT_EQ(aes_receive_key(b.get(), got_b), 1);
  const std::string log = err.text();
  EXPECT_NE(log.find("[0] Public key received."), std::string::npos);
  EXPECT_NE(log.find("[1] Transmission key sent."), std::string::npos);
}

} // namespace
