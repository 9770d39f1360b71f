#include "retransmit.h"

#include <cinttypes>

#include "nodekit.h"
#include "receive.h"
#include "ring.h"

namespace {

// A slice can be resent only while the ring still holds it: the last buff_size numbers before
// `next`. Number 0 names no slice; as the scan's starting point it would read as "nothing to
// resend" forever, so it counts as gone too.
bool left_the_ring(const tesseltx *t, std::uint64_t seq) {
  const auto size = static_cast<std::uint64_t>(t->buff_size);
  return seq == 0 || (t->next > size && seq < t->next - size);
}

} // namespace

void tun_request(transmission *tr, std::size_t received) {
  tesseltx *t = tr->t;
  const tun_request_packet &req = tr->packet.request;
  const std::size_t held =
      received > sizeof(tun_packet_header) ? (received - sizeof(tun_packet_header)) / 8 : 0;
  const std::size_t count = req.h.size < held ? req.h.size : held;
  const bool has_id = req.h.fec != 0;

  for (std::size_t i = 0; i < count; ++i) {
    const std::uint64_t seq = req.seqs[i];
    if (seq >= t->next) {
      if (tr_log_pass(tr, &tr_limits(tr).future, "requested future packet")) {
        nk_log(&t->nk, LOG_DEBUG,
               "[tun_request] [%u] %" PRIu64 " %" PRIx64 " requested future packet (last:%" PRIu64
               "), ignoring\n",
               static_cast<unsigned>(tr->id), seq, seq, t->next - 1);
      }
      continue;
    }
    if (left_the_ring(t, seq)) {
      if (tr_log_pass(tr, &tr_limits(tr).too_old, "requested packet is too old")) {
        nk_log(&t->nk, LOG_DEBUG,
               "[tun_request] [%u] %" PRIu64 " requested packet is too old (last:%" PRId64 "), ignoring\n",
               static_cast<unsigned>(tr->id), seq,
               static_cast<std::int64_t>(t->next - static_cast<std::uint64_t>(t->buff_size)));
      }
      continue;
    }
    tx_slice &e = tr_resend_entry(tr, seq);
    bool taken_over = false;
    if (e.seq != seq) {
      // The older slice's pending resend is abandoned. Its mark goes with it, so that the
      // queue level counts this slice once below instead of drifting (and wrapping) down; and
      // the entry's last id belonged to that older slice, so it suppresses nothing now.
      if (e.to_be_send) {
        tr->stat.too_late_to_resend++;
        tr->stat.slices_to_resend--;
        e.to_be_send = 0;
      }
      e.seq = seq;
      e.request_counter = 0;
      taken_over = true;
    }
    if (has_id && !taken_over && e.request_id == req.h.id &&
        !tun_universal_timeout(t, &e.last_request, 200)) {
      continue;
    }
    if (has_id) {
      e.request_id = req.h.id;
    }
    e.request_counter++;
    if (!e.to_be_send) {
      tr->stat.slices_to_resend++;
    }
    e.to_be_send = 1;
    e.last_request = t->now;
    if (seq < tr->first_to_repeat) {
      tr->first_to_repeat = seq;
    }
  }
}

std::uint64_t tr_check_repeat(transmission *tr) {
  tesseltx *t = tr->t;
  // Every marked entry is counted in slices_to_resend: with none, the scan would only walk up
  // to next_slice, so it jumps there at once (it runs on every send and every pass).
  if (tr->stat.slices_to_resend == 0) {
    if (tr->first_to_repeat < tr->next_slice) {
      tr->first_to_repeat = tr->next_slice;
    }
    return 0;
  }
  nk_t_start(&t->nk);
  while (tr->first_to_repeat < tr->next_slice) {
    const tx_slice &e = tr_resend_entry(tr, tr->first_to_repeat);
    if (e.to_be_send) {
      if (e.seq == tr->first_to_repeat) {
        nk_t_end(&t->nk, &t->stat.t_ch_rep);
        return tr->first_to_repeat;
      }
      tr->stat.too_late_to_resend++;
    }
    tr->first_to_repeat++;
  }
  nk_t_end(&t->nk, &t->stat.t_ch_rep);
  return 0;
}
