// The per-slice paths of both ends allocate nothing: every OpenSSL allocation of this process
// is counted, from before the library's first use.
#include <gtest/gtest.h>

#include <cstdlib>
#include <openssl/crypto.h>

#include "aes_exchange.h"
#include "aes_receive.h"

namespace {

long allocations = 0;

void *count_malloc(std::size_t n, const char *, int) {
  ++allocations;
  return std::malloc(n);
}
void *count_realloc(void *p, std::size_t n, const char *, int) {
  ++allocations;
  return std::realloc(p, n);
}
void plain_free(void *p, const char *, int) { std::free(p); }

const bool hooked = CRYPTO_set_mem_functions(count_malloc, count_realloc, plain_free) == 1;

tun_slice *no_slices() { return nullptr; }

TEST(AesAlloc, SlicesAreEncryptedAndDecryptedWithoutAllocating) {
  ASSERT_TRUE(hooked);
  NKCx nk{};
  for (std::uint8_t flags : {std::uint8_t{0}, AES_FLAG_256}) {
    tun_aes_ptr tx = aes_new(&nk);
    tx->flags = flags;
    ASSERT_EQ(aes_init_encryption(tx.get(), no_slices), 1);
    tun_aes_ptr rx = aes_new(&nk);
    ASSERT_EQ(aes_init_decryption(rx.get()), 1);
    const timespec64 now{};
    const auto *req = reinterpret_cast<const std::uint8_t *>(aes_get_request_packet(rx.get(), &now));
    alignas(8) std::uint8_t reply[aes_packet_size];
    const auto *h = aes_get_response_packet(tx.get(), std::span<const std::uint8_t>(req, aes_request_length(rx.get())),
                                            std::span<std::uint8_t, aes_packet_size>(reply));
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(aes_receive_key(rx.get(), std::span<const std::uint8_t>(reply, 8 + tun_body_length(h))), 1);

    tun_slice s{};
    s.size = 7;
    const long before = allocations;
    for (std::uint64_t seq = 1; seq <= 1000; ++seq) {
      s.seq = seq;
      ASSERT_EQ(aes_encrypt(tx.get(), &s), 1);
      ASSERT_EQ(aes_decrypt(rx.get(), &s, 0), 1);
    }
    EXPECT_EQ(allocations - before, 0) << "flags " << int{flags};
  }
}

} // namespace
