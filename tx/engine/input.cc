#include "input.h"

#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/time.h>

#include "nodekit.h"
#include "tesseltx.h"

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

namespace {

// The slice's arrival on the monotonic clock: `now` moved back by the time the datagram waited
// in the kernel, measured on the wall clock. A negative wait (the wall clock was stepped back
// between the two readings) would move the slice into the future, so it counts as no wait.
void apply_kernel_timestamp(tesseltx *t, tun_slice *slot) {
  for (cmsghdr *cm = CMSG_FIRSTHDR(&t->datagram); cm != nullptr; cm = CMSG_NXTHDR(&t->datagram, cm)) {
    if (cm->cmsg_level != SOL_SOCKET || cm->cmsg_type != SO_TIMESTAMP) {
      continue;
    }
    timeval kernel{};
    std::memcpy(&kernel, CMSG_DATA(cm), sizeof kernel);
    std::int64_t d = (static_cast<std::int64_t>(t->now_tv.tv_sec) - kernel.tv_sec) * 1000000 +
                     (static_cast<std::int64_t>(t->now_tv.tv_usec) - kernel.tv_usec);
    rrd_int64_add(&t->stat.from_driver, d);
    if (d < 0) {
      d = 0;
    }
    slot->time.tv_nsec -= d * 1000;
    timespec_normalize(&slot->time);
  }
}

} // namespace

void tun_net_rx(tesseltx *t) {
  const std::uint64_t mask = static_cast<std::uint64_t>(t->buff_size) - 1;
  tun_slice *slot = &t->buffer[t->next & mask];
  t->iovec.iov_base = slot->udp_data;
  t->iovec.iov_len = sizeof slot->udp_data;
  t->datagram.msg_name = nullptr;
  t->datagram.msg_namelen = 0;
  t->datagram.msg_iov = &t->iovec;
  t->datagram.msg_iovlen = 1;
  t->datagram.msg_control = t->cmsg;
  t->datagram.msg_controllen = sizeof t->cmsg;
  t->datagram.msg_flags = 0;

  if (t->next == 1) {
    nk_log(&t->nk, LOG_NOTICE, "First data packet received.");
  }
  const ssize_t len = recvmsg(t->socket, &t->datagram, 0);
  if (len < 1) {
    return;
  }
  slot->seq = t->next;
  slot->time = t->now;
  slot->size = static_cast<std::uint8_t>(static_cast<std::size_t>(len) / ts_packet_size) & 0x7F;
  slot->encrypted = 0;

  for (transmission *tr = t->tr; tr != nullptr; tr = tr->next) {
    if (tr->active_flag && t->next >= tr->next_slice + static_cast<std::uint64_t>(t->buff_size)) {
      nk_log(&t->nk, LOG_ERR,
             "Main buffer overrun for tr%d (%d slices exhausted from %lu to %lu)! Please check channel "
             "bandwidth. Exiting!",
             tr->id, t->buff_size, static_cast<unsigned long>(tr->next_slice),
             static_cast<unsigned long>(t->next));
      std::exit(0);
    }
  }

  apply_kernel_timestamp(t, slot);
  t->stat.in_pkts++;
  t->stat.in_bytes += static_cast<std::uint64_t>(len);
  tun_buffer_statistics(t, nullptr);
  tun_ts_check(slot, t->cc, &t->stat);

  if (t->aes) {
    {
      std::lock_guard lock(t->aes->mutex);
      t->next++;
    }
    t->aes->cond.notify_one();
  } else {
    t->next++;
  }
}

tun_slice *tun_aes_condition() {
  tesseltx *t = _t;
  if (t->aes->next_slice >= t->next) {
    return nullptr;
  }
  return &t->buffer[t->aes->next_slice & (static_cast<std::uint64_t>(t->buff_size) - 1)];
}
