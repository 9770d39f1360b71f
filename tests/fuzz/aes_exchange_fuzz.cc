// A datagram from the network through both ends of the key exchange: as a key request at an
// AES-128 and an AES-256 transmitter, and as a key reply at a receiving end, exactly as many
// bytes as arrived.
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "aes_exchange.h"
#include "aes_receive.h"

namespace {

struct ends {
  NKCx nk{};
  tun_aes_ptr tx128;
  tun_aes_ptr tx256;
  tun_aes_ptr rx;
  ends() {
    tx128 = aes_new(&nk);
    tx256 = aes_new(&nk);
    tx256->flags = AES_FLAG_256;
    for (tun_aes *a : {tx128.get(), tx256.get()}) {
      for (std::size_t i = 0; i < sizeof a->key; ++i) {
        a->key[i] = static_cast<std::uint8_t>(i * 11 + 1);
      }
      std::memset(a->iv, 0x5C, aes_iv_len);
    }
    rx = aes_new(&nk);
    aes_init_decryption(rx.get());
  }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static ends e;
  const std::vector<std::uint8_t> datagram(data, data + size);
  const std::span<const std::uint8_t> d(datagram);
  alignas(8) static std::uint8_t reply[aes_packet_size];
  for (tun_aes *a : {e.tx128.get(), e.tx256.get()}) {
    if (const tun_packet_header *h = aes_get_response_packet(a, d, std::span<std::uint8_t, aes_packet_size>(reply))) {
      if (tun_body_length(h) + sizeof *h > sizeof reply) {
        __builtin_trap();
      }
    }
  }
  if (aes_receive_key(e.rx.get(), d)) {
    std::uint8_t ts[slice_payload_max] = {};
    aes_decrypt_ts(e.rx.get(), size, std::span<std::uint8_t>(ts));
  }
  return 0;
}
