#include "rx_batch.h"

#include <algorithm>
#include <cstring>
#include <limits>

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
  if (ports == 0 || ports > std::numeric_limits<std::uint32_t>::max() / rx_batch_max) {
    return false;
  }
  pass->ports = ports;
  pass->per_port = std::clamp<std::size_t>(rx_batch_slots / ports, 1, rx_batch_max);
  const std::size_t n = ports * pass->per_port;
  pass->slots.assign(n, tun_packet_buffer{});
  pass->from.assign(n, sockaddr_in{});
  pass->iov.assign(n, iovec{});
  pass->msgs.assign(n, mmsghdr{});
  for (std::size_t i = 0; i < n; ++i) {
    pass->iov[i] = {pass->slots[i].raw, sizeof pass->slots[i].raw};
    msghdr &h = pass->msgs[i].msg_hdr;
    h.msg_name = &pass->from[i];
    h.msg_namelen = sizeof(sockaddr_in);
    h.msg_iov = &pass->iov[i];
    h.msg_iovlen = 1;
  }
  pass->count.assign(ports, 0);
  pass->order.assign(n, rx_batch_ref{});
  pass->cursor.assign(ports, 0);
  pass->rank.assign(n, 0);
  pass->keyed.assign(n, 0);
  pass->heads.clear();
  pass->heads.reserve(ports);
  return true;
}

mmsghdr *rx_batch_prepare(rx_batch_pass *pass, std::size_t port) {
  const std::size_t first = port * pass->per_port;
  for (std::size_t i = first; i < first + pass->per_port; ++i) {
    pass->msgs[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
    pass->msgs[i].msg_hdr.msg_flags = 0;
    pass->msgs[i].msg_len = 0;
  }
  return &pass->msgs[first];
}

std::span<const std::uint8_t> rx_batch_datagram(const rx_batch_pass *pass, std::size_t port,
                                                std::size_t index) {
  const std::size_t i = port * pass->per_port + index;
  const std::size_t len = std::min<std::size_t>(pass->msgs[i].msg_len, sizeof pass->slots[i].raw);
  return {pass->slots[i].raw, len};
}

const sockaddr_in &rx_batch_source(const rx_batch_pass *pass, std::size_t port, std::size_t index) {
  return pass->from[port * pass->per_port + index];
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
  const std::size_t per_port = pass->per_port;
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
