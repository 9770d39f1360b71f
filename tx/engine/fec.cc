#include "fec.h"

#include <cstring>

#include "tesseltx.h"

void tr_fec_xor(transmission *tr, const std::uint8_t *image, std::size_t len, unsigned n) {
  if (tr->fec.size < n) {
    tr->fec.size = static_cast<std::uint8_t>(n);
  }
  std::uint8_t *acc = tr->fec.buffer.raw;
  for (std::size_t i = 0; i < len; ++i) {
    acc[i] ^= image[i];
  }
}

std::size_t tr_fec_build(transmission *tr) {
  tesseltx *t = tr->t;
  tun_data_packet_fec &p = tr->packet.data_fec;
  p.h.type = TUN_FEC;
  p.h.fec = 1;
  p.departure_time = t->now;
  std::memcpy(&p.slice, tr->fec.buffer.raw, sizeof(tun_slice));
  std::memset(tr->fec.buffer.raw, 0, sizeof tr->fec.buffer.raw);
  p.seq = tr->fec.seq++;
  p.h.size = tr->fec.size;
  tr->stat.fec++;
  return tun_data_fec_len(tr->fec.size);
}
