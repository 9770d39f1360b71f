#include "rx_parse.h"

#include <cstring>

namespace {

std::uint64_t read_u64(const std::uint8_t *p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

std::int64_t read_i64(const std::uint8_t *p) {
  std::int64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

constexpr std::size_t header_size = sizeof(tun_packet_header);

// The slice image starts here in each data layout.
constexpr std::size_t slice_at_plain = offsetof(tun_data_packet, slice);
constexpr std::size_t slice_at_fec = offsetof(tun_data_packet_fec, slice);
constexpr std::size_t slice_time_at = offsetof(tun_slice, time);
constexpr std::size_t slice_size_at = offsetof(tun_slice, udp_data) - 1;
constexpr std::size_t slice_data_at = offsetof(tun_slice, udp_data);
static_assert(slice_size_at == 24);

rx_reject parse_slice(std::span<const std::uint8_t> d, std::size_t at, rx_packet *out) {
  if (d.size() < at + slice_data_at) {
    return rx_reject::malformed;
  }
  const std::uint8_t *img = d.data() + at;
  const unsigned n = img[slice_size_at] & 0x7Fu;
  if (n > slice_max_packets) {
    return rx_reject::malformed;
  }
  out->encrypted = (img[slice_size_at] & 0x80u) != 0;
  const std::size_t bytes = ts_packet_size * n;
  if (d.size() - at - slice_data_at < bytes) {
    return rx_reject::malformed;
  }
  if (!rx_read_time(img + slice_time_at, &out->slice_time_ns)) {
    return rx_reject::malformed;
  }
  out->seq = read_u64(img);
  out->ts_packets = n;
  out->ts = d.subspan(at + slice_data_at, bytes);
  return rx_reject::none;
}

} // namespace

bool rx_read_time(const std::uint8_t *bytes, std::int64_t *ns) {
  const std::int64_t sec = read_i64(bytes);
  const std::int64_t nsec = read_i64(bytes + 8);
  if (sec < 0 || sec >= rx_time_sec_max || nsec < 0 || nsec >= 1000000000) {
    return false;
  }
  *ns = sec * 1000000000 + nsec;
  return true;
}

rx_reject rx_parse_datagram(std::span<const std::uint8_t> d, std::uint8_t version, rx_packet *out) {
  *out = rx_packet{};
  if (d.size() < header_size || !tun_has_magic(d)) {
    return rx_reject::wrong_magic;
  }
  if (d[4] != version) {
    return rx_reject::wrong_version;
  }
  const std::uint8_t type = d[5] & tun_type_mask;
  const bool fec_bit = (d[5] & tun_fec_bit) != 0;
  out->type = type;
  switch (type) {
  case TUN_DATA:
  case TUN_DATA_RESENT: {
    out->kind = rx_kind::data;
    out->fec_layout = fec_bit;
    if (fec_bit) {
      if (d.size() < slice_at_fec) {
        return rx_reject::malformed;
      }
      out->fec_seq = read_u64(d.data() + offsetof(tun_data_packet_fec, seq));
    }
    const rx_reject r = parse_slice(d, fec_bit ? slice_at_fec : slice_at_plain, out);
    if (r != rx_reject::none) {
      return r;
    }
    return out->seq == 0 ? rx_reject::malformed : rx_reject::none;
  }
  case TUN_FEC: {
    // The parity image's own fields are XOR sums, so only its extent is checked here.
    out->kind = rx_kind::fec_parity;
    out->fec_layout = true;
    const std::size_t n = d[6];
    if (n > slice_max_packets || d.size() < slice_at_fec + slice_data_at + ts_packet_size * n) {
      return rx_reject::malformed;
    }
    out->fec_seq = read_u64(d.data() + offsetof(tun_data_packet_fec, seq));
    out->ts_packets = static_cast<unsigned>(n);
    return rx_reject::none;
  }
  case TUN_PING_REPLY:
    out->kind = rx_kind::ping_reply;
    if (d.size() < tun_ping_len) {
      return rx_reject::malformed;
    }
    out->ping_seq = read_u64(d.data() + offsetof(tun_ping_packet, seq));
    if (!rx_read_time(d.data() + offsetof(tun_ping_packet, src_time), &out->ping_src_ns)) {
      return rx_reject::malformed;
    }
    return rx_reject::none;
  case TUN_INFO_REQUEST:
  case TUN_INFO_REPLY:
    // The TLV reader stops at the bytes received, so a short body is read as far as it goes.
    out->kind = rx_kind::info;
    return rx_reject::none;
  case TUN_AES_REPLY:
  case TUN_AES_REPLY_256:
    out->kind = rx_kind::key_reply;
    return rx_reject::none;
  default:
    return rx_reject::unknown_type;
  }
}
