#include "send.h"

#include <arpa/inet.h>
#include <cstddef>

#include "fec.h"
#include "liveness.h"
#include "nodekit.h"
#include "pacing.h"
#include "queues.h"
#include "retransmit.h"
#include "ring.h"

unsigned char is_encrypted(const tesseltx *t, const tun_slice *s) {
  if (!t->aes) {
    return 1;
  }
  return aes_encrypted(t->aes.get(), s->seq) ? 1 : 0;
}

tr_next tr_next_packet(transmission *tr, bool stream, std::uint64_t *resend_seq) {
  tesseltx *t = tr->t;
  if (tr->aes_reply != nullptr) {
    return tr_next::key_reply;
  }
  if (tr->ping_seq != 0) {
    return tr_next::ping_reply;
  }
  if (tr->info_reply || tr->info_request) {
    return tr_next::info;
  }
  if (!stream) {
    return tr_next::none;
  }
  if (tr_fec_due(tr)) {
    return tr_next::parity;
  }
  if (const std::uint64_t r = tr_check_repeat(tr); r != 0) {
    // A slot whose number matches but whose encryption is not done yet waits, as a new slice
    // would: a resend must never carry clear or half-encrypted bytes.
    tun_slice *slot = tx_ring_slot(t, r);
    if (slot->seq == r && !is_encrypted(t, slot)) {
      return tr_next::none;
    }
    *resend_seq = r;
    return tr_next::resend;
  }
  if (tr->next_slice >= t->next) {
    return tr_next::none; // not arrived yet: neither sendable nor too late
  }
  tun_slice *slot = tx_ring_slot(t, tr->next_slice);
  if (slot->seq != tr->next_slice) {
    return tr_next::slice_gone;
  }
  return is_encrypted(t, slot) ? tr_next::slice : tr_next::none;
}

namespace {

void info_timing(transmission *tr) {
  tesseltx *t = tr->t;
  if (t->protocol_version < 6) {
    tr->info_request = 0;
    return;
  }
  const std::uint64_t silence = tr_silence_ms(t->delay);
  if ((tun_universal_timeout(t, &tr->last_ping, silence) &&
       tun_universal_timeout(t, &tr->last_info, silence)) ||
      tun_universal_timeout(t, &tr->last_info, 300000)) {
    tr->info_request = 1;
  }
}

// Builds the head of a data packet of the given type in `packet`, in the layout the FEC setting
// asks for; the slice image follows it on the wire straight from its ring slot.
tx_datagram build_data(transmission *tr, std::uint8_t type, const tun_slice *slice) {
  tesseltx *t = tr->t;
  const unsigned n = slice->size;
  const std::span<const std::uint8_t> image(reinterpret_cast<const std::uint8_t *>(slice),
                                            tun_slice_image_size(n));
  tun_packet_buffer &p = tr->packet;
  p.h.type = type & tun_type_mask;
  if (t->fec >= 2) {
    p.h.fec = 1;
    p.data_fec.departure_time = t->now;
    p.data_fec.seq = tr->fec.seq++;
    tr_fec_xor(tr, image.data(), image.size(), n);
    return {{p.raw, offsetof(tun_data_packet_fec, slice)}, image, slice, slice->seq};
  }
  p.data.departure_time = t->now;
  return {{p.raw, offsetof(tun_data_packet, slice)}, image, slice, slice->seq};
}

// Builds the packet the decision chose. Returns its bytes, or an empty span when nothing goes
// out after all.
tx_datagram build(transmission *tr, tr_next next, std::uint64_t resend_seq) {
  tesseltx *t = tr->t;
  switch (next) {
  case tr_next::none:
    return {};
  case tr_next::key_reply: {
    const tun_packet_header *reply = tr->aes_reply;
    tr->aes_reply = nullptr;
    nk_log(&t->nk, LOG_INFO, "[%u] Transmission key sent.\n", static_cast<unsigned>(tr->id));
    return {
        {reinterpret_cast<const std::uint8_t *>(reply), sizeof(tun_packet_header) + tun_body_length(reply)}};
  }
  case tr_next::ping_reply:
    tr->packet.h.type = TUN_PING_REPLY;
    tr->packet.ping.seq = tr->ping_seq;
    tr->packet.ping.departure_time = t->now;
    tr->packet.ping.src_time = tr->ping;
    tr->ping_seq = 0;
    return {{tr->packet.raw, tun_ping_len}};
  case tr_next::info: {
    const bool reply = tr->info_reply != 0;
    tr->info_reply = tr->info_request = 0;
    if (t->info_packet.empty()) {
      return {};
    }
    auto *h = reinterpret_cast<tun_packet_header *>(t->info_packet.data());
    h->type = reply ? TUN_INFO_REPLY : TUN_INFO_REQUEST;
    tr->last_info = t->now;
    return {{t->info_packet.data(), t->info_packet.size()}};
  }
  case tr_next::parity:
    return {{tr->packet.raw, tr_fec_build(tr)}};
  case tr_next::resend: {
    tx_slice &entry = tr_resend_entry(tr, resend_seq);
    entry.to_be_send = 0;
    const tun_slice *slot = tx_ring_slot(t, resend_seq);
    if (entry.seq != slot->seq) {
      // The ring moved on since the request: the resend is abandoned and leaves the queue.
      nk_log(&t->nk, LOG_DEBUG, "[tr_net_tx] [%u] SEQs don't match.\n", static_cast<unsigned>(tr->id));
      tr->stat.too_late_to_resend++;
      tr->stat.slices_to_resend--;
      return {};
    }
    const tx_datagram d = build_data(tr, TUN_DATA_RESENT, slot);
    tr->stat.resent[entry.request_counter < 15 ? entry.request_counter : 15]++;
    tr->stat.resent[0]++;
    tr->stat.slices_to_resend--;
    return d;
  }
  case tr_next::slice: {
    const tx_datagram d = build_data(tr, TUN_DATA, tx_ring_slot(t, tr->next_slice));
    tr->next_slice++;
    tr->stat.sent++;
    tr->fuses.last_transmitted_data_packet = t->now;
    return d;
  }
  case tr_next::slice_gone:
    tr->stat.too_late_to_send++;
    return {};
  }
  return {};
}

} // namespace

bool tr_plan(transmission *tr) {
  info_timing(tr);
  std::uint64_t resend_seq = 0;
  switch (tr_next_packet(tr, tr->active_flag != 0, &resend_seq)) {
  case tr_next::key_reply:
  case tr_next::ping_reply:
  case tr_next::info:
    return true;
  case tr_next::parity:
  case tr_next::resend:
  case tr_next::slice:
    return tr_bandwidth(tr) != 0;
  case tr_next::none:
  case tr_next::slice_gone:
    return false;
  }
  return false;
}

void tr_send(transmission *tr, const tx_send_fn &out) {
  tesseltx *t = tr->t;
  tun_header_init(&tr->packet.h, t->protocol_version, 0);
  // Bytes 6 and 7 mean nothing in data and ping-reply packets; zeros rather than whatever the
  // last received datagram left there.
  tr->packet.h.size = 0;
  tr->packet.h.id = 0;
  std::uint64_t resend_seq = 0;
  // Whatever the plan saw, the send decides again: a datagram received in the same pass may
  // have brought a more urgent packet.
  const tr_next next = tr_next_packet(tr, true, &resend_seq);
  const tx_datagram packet = build(tr, next, resend_seq);
  if (packet.head.empty()) {
    return;
  }
  tun_buffer_statistics(t, tr);
  tr->sin.sin_port = htons(static_cast<std::uint16_t>(tr->next_port));
  out.send(out.ctx, tr, packet, tr->sin);
  tr->next_port++;
  if (tr->next_port >= tr->port + tr->port_range_size) {
    tr->next_port = tr->port;
  }
}
