// A datagram from a receiver through the transmitter's engine, as the edge hands it over (read
// into the transmission's packet buffer, at most its size), then the packets it makes due:
// requests against a ring that holds slices, pings, descriptions and key requests.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>

#include "receive.h"
#include "send.h"
#include "tesseltx.h"

namespace {

void discard(void *, transmission *, const tx_datagram &, const sockaddr_in &) {}

tesseltx *make() {
  auto *t = new tesseltx{};
  t->next = 1;
  t->protocol_version = 7;
  t->fec = 3;
  t->port_range_size = 2;
  t->now = {1000, 0};
  sockaddr_in sin{};
  sin.sin_port = htons(7000);
  tr_new(t, sin, -1)->bw.max = 1000;
  t->buff_size = 4096;
  t->buffer.reset(static_cast<tun_slice *>(std::calloc(4096, sizeof(tun_slice))));
  t->buffer[0].seq = 1;
  for (std::uint64_t seq = 1; seq < 5000; ++seq) {
    tun_slice &s = t->buffer[seq & 4095];
    s.seq = seq;
    s.size = static_cast<std::uint8_t>(seq % 8) & 0x7F;
  }
  t->next = 5000;
  t->active_tr = t->tr;
  tr_init_buffer(t->tr);
  t->tr->next_slice = 4990;
  t->tr->first_to_repeat = 4990;
  t->info_packet = tun_prepare_info_packet(&t->info, t->protocol_version);
  t->aes = aes_new(&t->nk);
  aes_init_key(t->aes.get());
  return t;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static tesseltx *t = make(); // one transmitter for the whole run, as in the program
  transmission *tr = t->tr;
  const std::size_t len = size < sizeof tr->packet.raw ? size : sizeof tr->packet.raw;
  std::memcpy(tr->packet.raw, data, len);
  t->now.tv_nsec = (t->now.tv_nsec + 50000000) % 1000000000;
  // Fresh limits for every input: otherwise whether an input is logged or answered would
  // depend on how many inputs came before it, and a crash would not replay on its own.
  tr->limits = tr_peer_limits{};
  tr_receive(tr, len);
  for (int i = 0; i < 4; ++i) {
    tr_send(tr, tx_send_fn{nullptr, discard});
  }
  return 0;
}
