// Input datagrams of the transport stream through the transmitter's input path: each becomes
// the next slice of the ring and its TS packets go through the sync, error and continuity
// checks. The input is a series of datagrams, each a length byte pair (little-endian), an
// optional kernel wait and its bytes; a datagram is cut to what the edge would read.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

#include "input.h"
#include "tesseltx.h"

namespace {

tesseltx *make() {
  auto *t = new tesseltx{};
  t->protocol_version = 7;
  t->now = {1000, 0};
  std::memset(t->cc, 0xFF, sizeof t->cc);
  sockaddr_in sin{};
  sin.sin_port = htons(7000);
  tr_new(t, sin, -1);
  t->buff_size = 256;
  t->buffer.reset(static_cast<tun_slice *>(std::calloc(256, sizeof(tun_slice))));
  t->active_tr = t->tr;
  tr_init_buffer(t->tr);
  return t;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static tesseltx *t = make(); // one transmitter for the whole run, as in the program
  std::size_t pos = 0;
  while (pos + 3 <= size) {
    std::size_t len = data[pos] | static_cast<std::size_t>(data[pos + 1]) << 8;
    const std::uint8_t flags = data[pos + 2];
    pos += 3;
    std::optional<std::int64_t> wait;
    if ((flags & 1) != 0 && pos + 4 <= size) {
      std::int32_t w;
      std::memcpy(&w, data + pos, sizeof w);
      wait = w;
      pos += 4;
    }
    if (len > size - pos) {
      len = size - pos;
    }
    // The edge reads into the slot's payload and no further.
    tun_slice *slot = tx_input_slot(t);
    const std::size_t take = len < sizeof slot->udp_data ? len : sizeof slot->udp_data;
    std::memcpy(slot->udp_data, data + pos, take);
    pos += len;
    t->now.tv_nsec += 1000000;
    timespec_normalize(&t->now);
    if (!tx_input(t, slot, take, wait)) {
      std::abort(); // the output keeps pace below, so the ring can never overrun
    }
    t->tr->next_slice = t->next; // the output sent it
  }
  return 0;
}
