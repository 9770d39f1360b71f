#include "rx_batch.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <netinet/udp.h>

namespace {

constexpr std::size_t seq_at_plain = offsetof(tun_data_packet, slice) + offsetof(tun_slice, seq);
constexpr std::size_t seq_at_fec = offsetof(tun_data_packet_fec, slice) + offsetof(tun_slice, seq);
static_assert(seq_at_plain == 24 && seq_at_fec == 32);

// A min-heap on (rank, port): std::push_heap keeps the greatest at the front.
bool later(const std::pair<std::int64_t, std::uint32_t> &a, const std::pair<std::int64_t, std::uint32_t> &b) {
  return a > b;
}

} // namespace

bool rx_batch_init(rx_batch_pass *pass, std::size_t ports) {
  if (ports == 0 || ports > std::numeric_limits<std::uint32_t>::max() / (rx_batch_max * rx_batch_segments_max)) {
    return false;
  }
  pass->ports = ports;
  pass->per_port = std::clamp<std::size_t>(rx_batch_buffers / ports, 1, rx_batch_max);
  pass->views_per_port = pass->per_port * rx_batch_segments_max;
  const std::size_t n = ports * pass->per_port;
  // Left uninitialised: a page is touched only once a read reaches it.
  pass->buffers = std::make_unique_for_overwrite<std::uint8_t[]>(n * rx_batch_buffer_bytes);
  pass->from.assign(n, sockaddr_in{});
  pass->iov.assign(n, iovec{});
  pass->control.assign(n, rx_batch_control{});
  pass->msgs.assign(n, mmsghdr{});
  for (std::size_t i = 0; i < n; ++i) {
    pass->iov[i] = {pass->buffers.get() + i * rx_batch_buffer_bytes, rx_batch_buffer_bytes};
    msghdr &h = pass->msgs[i].msg_hdr;
    h.msg_name = &pass->from[i];
    h.msg_namelen = sizeof(sockaddr_in);
    h.msg_iov = &pass->iov[i];
    h.msg_iovlen = 1;
    h.msg_control = pass->control[i].bytes;
  }
  pass->reads.assign(ports, 0);
  pass->count.assign(ports, 0);
  const std::size_t views = ports * pass->views_per_port;
  pass->views.assign(views, rx_batch_view{});
  pass->order.assign(views, rx_batch_ref{});
  pass->cursor.assign(ports, 0);
  pass->rank.assign(views, 0);
  pass->keyed.assign(views, 0);
  pass->heads.clear();
  pass->heads.reserve(ports);
  return true;
}

mmsghdr *rx_batch_prepare(rx_batch_pass *pass, std::size_t port) {
  const std::size_t first = port * pass->per_port;
  for (std::size_t i = first; i < first + pass->per_port; ++i) {
    msghdr &h = pass->msgs[i].msg_hdr;
    h.msg_namelen = sizeof(sockaddr_in);
    h.msg_controllen = sizeof pass->control[i].bytes;
    h.msg_flags = 0;
    pass->msgs[i].msg_len = 0;
  }
  return &pass->msgs[first];
}

namespace {

// The segment size of a coalesced read; 0 for a plain one.
std::size_t segment_size(msghdr *h) {
  if (h->msg_controllen == 0) {
    return 0;
  }
  for (cmsghdr *cm = CMSG_FIRSTHDR(h); cm != nullptr; cm = CMSG_NXTHDR(h, cm)) {
    if (cm->cmsg_level == SOL_UDP && cm->cmsg_type == UDP_GRO && cm->cmsg_len >= CMSG_LEN(sizeof(int))) {
      int size = 0;
      std::memcpy(&size, CMSG_DATA(cm), sizeof size);
      return size > 0 ? static_cast<std::size_t>(size) : 0;
    }
  }
  return 0;
}

} // namespace

std::size_t rx_batch_split(rx_batch_pass *pass, std::size_t port, std::size_t reads) {
  reads = std::min(reads, pass->per_port);
  pass->reads[port] = static_cast<std::uint32_t>(reads);
  rx_batch_view *views = &pass->views[port * pass->views_per_port];
  std::size_t n = 0;
  auto add = [&](const std::uint8_t *at, std::size_t len, std::size_t r) {
    if (n == pass->views_per_port) {
      pass->segments_dropped++;
      return;
    }
    views[n++] = {at, static_cast<std::uint32_t>(std::min(len, sizeof(tun_packet_buffer))),
                  static_cast<std::uint32_t>(r)};
  };
  for (std::size_t r = port * pass->per_port; r < port * pass->per_port + reads; ++r) {
    msghdr &h = pass->msgs[r].msg_hdr;
    const std::uint8_t *at = pass->buffers.get() + r * rx_batch_buffer_bytes;
    const std::size_t len = std::min<std::size_t>(pass->msgs[r].msg_len, rx_batch_buffer_bytes);
    const std::size_t seg = segment_size(&h);
    if (seg == 0 || seg >= len) {
      add(at, len, r); // an empty datagram is one too
      continue;
    }
    for (std::size_t off = 0; off < len; off += seg) {
      const std::size_t piece = std::min(seg, len - off);
      if (piece < seg && (h.msg_flags & MSG_TRUNC) != 0) {
        pass->segments_dropped++; // the buffer cut it, not the sender
        break;
      }
      add(at + off, piece, r);
    }
  }
  pass->count[port] = static_cast<std::uint32_t>(n);
  return n;
}

std::span<const std::uint8_t> rx_batch_datagram(const rx_batch_pass *pass, std::size_t port,
                                                std::size_t index) {
  const rx_batch_view &v = pass->views[port * pass->views_per_port + index];
  return {v.data, v.len};
}

const sockaddr_in &rx_batch_source(const rx_batch_pass *pass, std::size_t port, std::size_t index) {
  return pass->from[pass->views[port * pass->views_per_port + index].read];
}

bool rx_batch_key(std::span<const std::uint8_t> d, std::uint64_t *key) {
  if (d.size() < sizeof(tun_packet_header) || !tun_has_magic(d)) {
    return false;
  }
  const std::uint8_t type = d[5] & tun_type_mask;
  if (type != TUN_DATA && type != TUN_DATA_RESENT) {
    return false;
  }
  const std::size_t at = (d[5] & tun_fec_bit) != 0 ? seq_at_fec : seq_at_plain;
  if (d.size() < at + sizeof *key) {
    return false;
  }
  std::memcpy(key, d.data() + at, sizeof *key);
  return true;
}

std::size_t rx_batch_merge(rx_batch_pass *pass) {
  const std::size_t per_port = pass->views_per_port;
  // Serial numbers compared pairwise are not a consistent order when they spread over more
  // than half the number space (a hostile sender can do that). Distances from one reference
  // are: they order the same as serial comparison for every number within 2^63 of it.
  bool have_ref = false;
  std::uint64_t ref = 0;
  for (std::size_t p = 0; p < pass->ports; ++p) {
    pass->count[p] = std::min<std::uint32_t>(pass->count[p], static_cast<std::uint32_t>(per_port));
    for (std::size_t i = 0; i < pass->count[p]; ++i) {
      const std::size_t s = p * per_port + i;
      std::uint64_t key = 0;
      pass->keyed[s] = rx_batch_key(rx_batch_datagram(pass, p, i), &key) ? 1 : 0;
      if (pass->keyed[s] != 0) {
        if (!have_ref) {
          ref = key;
          have_ref = true;
        }
        pass->rank[s] = static_cast<std::int64_t>(key - ref);
      }
    }
  }

  std::size_t out = 0;
  // Hands out the datagrams without a number that follow, up to the port's next numbered one.
  auto take_unkeyed = [&](std::uint32_t p) {
    std::uint32_t &c = pass->cursor[p];
    while (c < pass->count[p] && pass->keyed[p * per_port + c] == 0) {
      pass->order[out++] = {p, c++};
    }
  };
  auto push_head = [&](std::uint32_t p) {
    if (pass->cursor[p] < pass->count[p]) {
      pass->heads.emplace_back(pass->rank[p * per_port + pass->cursor[p]], p);
      std::push_heap(pass->heads.begin(), pass->heads.end(), later);
    }
  };
  pass->heads.clear();
  for (std::uint32_t p = 0; p < pass->ports; ++p) {
    pass->cursor[p] = 0;
    take_unkeyed(p);
    push_head(p);
  }
  while (!pass->heads.empty()) {
    std::pop_heap(pass->heads.begin(), pass->heads.end(), later);
    const std::uint32_t p = pass->heads.back().second;
    pass->heads.pop_back();
    pass->order[out++] = {p, pass->cursor[p]++};
    take_unkeyed(p);
    push_head(p);
  }
  return out;
}
