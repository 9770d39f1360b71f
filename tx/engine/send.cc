#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>

#include "nodekit.h"
#include "tesseltx.h"
#include "tunnel.h"

int tr_bandwidth(transmission *tr) {
  const tesseltx *t = tr->t;
  bandwidth &bw = tr->bw;
  const std::int64_t elapsed =
      (t->now.tv_sec - bw.start.tv_sec) * 1000 + (t->now.tv_nsec - bw.start.tv_nsec) / 1000000;
  if (elapsed >= 0 && elapsed < 1000) {
    const std::uint64_t allowed = bw.max * static_cast<std::uint64_t>(elapsed) / 1000;
    if (bw.count < allowed) {
      bw.count++;
      return 1;
    }
    return 0;
  }
  bw.count = 1;
  bw.start = t->now;
  return 1;
}

namespace {

// Puts a slice into `packet` as a data packet of the given type, in the layout the FEC setting
// asks for, and returns the packet's length.
std::size_t build_data(transmission *tr, std::uint8_t type, const tun_slice *slice) {
  tesseltx *t = tr->t;
  const unsigned n = slice->size;
  const std::size_t image = tun_slice_image_size(n);
  tun_packet_buffer &p = tr->packet;
  p.h.type = type & tun_type_mask;
  if (t->fec >= 2) {
    p.h.fec = 1;
    p.data_fec.departure_time = t->now;
    p.data_fec.seq = tr->fec.seq++;
    std::memcpy(&p.data_fec.slice, slice, image);
    tr_fec_xor(tr, reinterpret_cast<const std::uint8_t *>(&p.data_fec.slice), image, n);
    return tun_data_fec_len(n);
  }
  p.data.departure_time = t->now;
  std::memcpy(&p.data.slice, slice, image);
  return tun_data_len(n);
}

// Chooses the most urgent packet and builds it. Returns the buffer and length to send, or a
// null buffer when nothing goes out in this pass.
const void *choose_packet(transmission *tr, std::size_t *len) {
  tesseltx *t = tr->t;
  const std::uint64_t mask = static_cast<std::uint64_t>(t->buff_size) - 1;

  if (tr->aes_reply != nullptr) {
    const tun_packet_header *reply = tr->aes_reply;
    *len = sizeof(tun_packet_header) + tun_body_length(reply);
    tr->aes_reply = nullptr;
    nk_log(&t->nk, LOG_INFO, "[%u] Transmission key sent.\n", static_cast<unsigned>(tr->id));
    return reply;
  }
  if (tr->ping_seq != 0) {
    tr->packet.h.type = TUN_PING_REPLY;
    tr->packet.ping.seq = tr->ping_seq;
    tr->packet.ping.departure_time = t->now;
    tr->packet.ping.src_time = tr->ping;
    tr->ping_seq = 0;
    *len = tun_ping_len;
    return tr->packet.raw;
  }
  if (tr->info_reply || tr->info_request) {
    if (t->info_packet.empty()) {
      tr->info_reply = tr->info_request = 0;
      return nullptr;
    }
    auto *h = reinterpret_cast<tun_packet_header *>(t->info_packet.data());
    h->type = tr->info_reply ? TUN_INFO_REPLY : TUN_INFO_REQUEST;
    tr->last_info = t->now;
    tr->info_reply = tr->info_request = 0;
    *len = t->info_packet.size();
    return t->info_packet.data();
  }
  if (t->fec >= 2 && tr->fec.seq % t->fec == static_cast<std::uint64_t>(t->fec - 1)) {
    *len = tr_fec_build(tr);
    return tr->packet.raw;
  }
  if (const std::uint64_t r = tr_check_repeat(tr); r != 0) {
    tx_slice &entry = tr->slice[r & mask];
    entry.to_be_send = 0;
    const tun_slice *slot = &t->buffer[r & mask];
    if (entry.seq != slot->seq) {
      nk_log(&t->nk, LOG_DEBUG, "[tr_net_tx] [%u] SEQs don't match.\n", static_cast<unsigned>(tr->id));
      return nullptr;
    }
    *len = build_data(tr, TUN_DATA_RESENT, slot);
    tr->stat.resent[entry.request_counter < 15 ? entry.request_counter : 15]++;
    tr->stat.resent[0]++;
    tr->stat.slices_to_resend--;
    return tr->packet.raw;
  }
  tun_slice *slot = &t->buffer[tr->next_slice & mask];
  if (slot->seq != tr->next_slice) {
    tr->stat.too_late_to_send++;
    return nullptr;
  }
  // The writable decision read the bit under the lock; the worker only ever sets it.
  if (t->aes && !slot->encrypted) {
    return nullptr;
  }
  *len = build_data(tr, TUN_DATA, slot);
  tr->next_slice++;
  tr->stat.sent++;
  tr->fuses.last_transmitted_data_packet = t->now;
  return tr->packet.raw;
}

} // namespace

void tr_net_tx(transmission *tr) {
  tesseltx *t = tr->t;
  nk_t_start(&t->nk);
  tun_header_init(&tr->packet.h, t->protocol_version, 0);
  // Bytes 6 and 7 mean nothing in data and ping-reply packets; zeros rather than whatever the
  // last received datagram left there.
  tr->packet.h.size = 0;
  tr->packet.h.id = 0;
  std::size_t len = 0;
  const void *buf = choose_packet(tr, &len);
  if (buf != nullptr) {
    tun_buffer_statistics(t, tr);
    tr->sin.sin_port = htons(static_cast<std::uint16_t>(tr->next_port));
    const ssize_t sent = sendto(tr->sock, buf, len, 0, reinterpret_cast<const sockaddr *>(&tr->sin), sizeof tr->sin);
    if (sent < 0 || static_cast<std::size_t>(sent) != len) {
      const int err = errno;
      std::fputs("sendto!!!\n", stdout);
      t->stat.sendto_err++;
      nk_log(&t->nk, LOG_ERR, "[%u] tr_nex_tx(%d, %x, %d, 0, %x, %d)[%x %x %x]: %d: %s \n",
             static_cast<unsigned>(tr->id), tr->sock,
             static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(tr->packet.raw)), 1368,
             static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(&tr->sin)), 16,
             static_cast<unsigned>(tr->sin.sin_family), static_cast<unsigned>(tr->sin.sin_addr.s_addr),
             static_cast<unsigned>(tr->sin.sin_port), err, std::strerror(err));
    }
    tr->next_port++;
    if (tr->next_port >= tr->port + tr->port_range_size) {
      tr->next_port = tr->port;
    }
  }
  nk_t_end(&t->nk, &t->stat.t_net_tx);
}
