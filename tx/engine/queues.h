// Sampling of the queue levels into the counters: how far each transmission is behind the
// input, and how many slices wait to be resent. Inline: it runs for every datagram in and out.
#pragma once

#include "tesseltx.h"

inline void tun_sample_queues(const tesseltx *t, transmission *tr) {
  rrd_int64_add(&tr->stat.tr_queue, static_cast<std::int64_t>(t->next - tr->next_slice));
  rrd_int64_add(&tr->stat.retr_queue, static_cast<std::int64_t>(tr->stat.slices_to_resend));
}

// Samples the queue lengths of one transmission, or of all when tr is null.
inline void tun_buffer_statistics(tesseltx *t, transmission *tr) {
  if (tr != nullptr) {
    tun_sample_queues(t, tr);
    return;
  }
  for (transmission *x = t->tr; x != nullptr; x = x->next) {
    tun_sample_queues(t, x);
  }
}
