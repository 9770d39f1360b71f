#include "input.h"

#include <cinttypes>

#include "nodekit.h"
#include "queues.h"
#include "ring.h"
#include "stop.h"

void tun_ts_check(const tun_slice *s, unsigned char *cc, stats *st) {
  for (unsigned i = 0; i < s->size; ++i) {
    const std::uint8_t *p = s->udp_data + i * ts_packet_size;
    if (p[0] != 0x47) {
      st->sb++;
      continue;
    }
    if (p[1] & 0x80) {
      st->tei++;
      continue;
    }
    const unsigned pid = (p[1] & 0x1Fu) * 256u + p[2];
    const auto counter = static_cast<unsigned char>(p[3] & 0x0F);
    const unsigned payload = (p[3] & 0x10u) / 16u;
    if (pid != 0x1FFF && cc[pid] != 0xFF && ((cc[pid] + payload) & 0x0Fu) != counter) {
      st->cc++;
    }
    cc[pid] = counter;
  }
}

void tx_input_first(tesseltx *t) {
  nk_log(&t->nk, LOG_NOTICE, "First data packet received.");
}

bool tx_input(tesseltx *t, tun_slice *slot, std::size_t len, std::optional<std::int64_t> kernel_wait_us) {
  slot->seq = t->next;
  slot->time = t->now;
  slot->size = static_cast<std::uint8_t>(len / ts_packet_size) & 0x7F;
  slot->encrypted = 0;

  for (transmission *tr = t->tr; tr != nullptr; tr = tr->next) {
    if (tr->active_flag && t->next >= tr->next_slice + static_cast<std::uint64_t>(t->buff_size)) {
      tx_stop(t, 0,
              "Main buffer overrun for tr%d (%d slices exhausted from %" PRIu64 " to %" PRIu64 ")! Please check channel "
              "bandwidth. Exiting!",
              tr->id, t->buff_size, tr->next_slice, t->next);
      return false;
    }
    // One walk over the outputs: the queue levels are sampled with the overrun check.
    tun_sample_queues(t, tr);
  }

  // The slice's arrival is `now` moved back by the time the datagram waited in the kernel. A
  // negative wait (the wall clock was stepped back between the two readings) would move the
  // slice into the future, so it counts as no wait.
  if (kernel_wait_us) {
    std::int64_t d = *kernel_wait_us;
    rrd_int64_add(&t->stat.from_driver, d);
    if (d < 0) {
      d = 0;
    }
    slot->time.tv_nsec -= d * 1000;
    timespec_normalize(&slot->time);
  }
  t->stat.in_pkts++;
  t->stat.in_bytes += static_cast<std::uint64_t>(len);
  tun_ts_check(slot, t->cc, &t->stat);

  t->next++;
  return true;
}

void tx_input_publish(tesseltx *t) {
  if (t->aes) {
    aes_publish(t->aes.get(), t->next);
  }
}

tun_slice *tun_aes_condition() {
  tesseltx *t = _t;
  if (t->aes->next_slice >= t->aes->published) {
    return nullptr;
  }
  return tx_ring_slot(t, t->aes->next_slice);
}
