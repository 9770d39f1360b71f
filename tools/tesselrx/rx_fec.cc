#include "rx_fec.h"

#include <cstring>
#include <new>

namespace {

// The longest group the transmitter can form: -f 254 gives 255 data packets and the parity.
constexpr std::uint64_t group_max = 256;

rx_fec_entry &entry(rx_fec *f, std::uint64_t pos) { return f->store[pos % rx_fec_positions]; }

void put(rx_fec *f, std::uint64_t pos, rx_fec_kind kind, std::span<const std::uint8_t> image, std::size_t len) {
  rx_fec_entry &e = entry(f, pos);
  e.pos = pos;
  e.kind = kind;
  e.len = static_cast<std::uint16_t>(len);
  std::memcpy(e.image, image.data(), len);
}

} // namespace

bool rx_fec_init(rx_fec *f) {
  f->store.reset(new (std::nothrow) rx_fec_entry[rx_fec_positions]);
  f->group = 0;
  f->parity_seen = false;
  f->last_parity = 0;
  return f->store != nullptr;
}

void rx_fec_reset(rx_fec *f) {
  for (std::uint64_t i = 0; i < rx_fec_positions; ++i) {
    f->store[static_cast<std::size_t>(i)].kind = rx_fec_kind::none;
  }
  f->group = 0;
  f->parity_seen = false;
  f->last_parity = 0;
}

void rx_fec_data(rx_fec *f, std::uint64_t pos, std::span<const std::uint8_t> image, std::size_t expected) {
  if (expected > sizeof(tun_slice) || image.size() < expected) {
    // Without its last bytes the XOR of its group cannot be undone exactly.
    rx_fec_entry &e = entry(f, pos);
    e.pos = pos;
    e.kind = rx_fec_kind::unusable;
    return;
  }
  put(f, pos, rx_fec_kind::data, image, expected);
}

void rx_fec_parity(rx_fec *f, std::uint64_t pos, std::span<const std::uint8_t> image, unsigned n) {
  const std::size_t len = tun_slice_image_size(n);
  if (n > slice_max_packets || image.size() < len) {
    return;
  }
  // Parity stands at G - 1, 2G - 1, ...: the first position seen bounds G from above (the
  // transmission counts from 0), and the distance between two parity packets is a multiple.
  std::uint64_t bound = 0;
  if (!f->parity_seen) {
    bound = pos < UINT64_MAX ? pos + 1 : 0;
    f->parity_seen = true;
    f->last_parity = pos;
  } else if (pos > f->last_parity) {
    bound = pos - f->last_parity;
    f->last_parity = pos;
  }
  if (bound != 0 && (f->group == 0 || bound < f->group)) {
    f->group = bound;
  }
  rx_fec_entry &e = entry(f, pos);
  if (e.pos == pos && e.kind == rx_fec_kind::spent) {
    return; // a copy of a parity already used
  }
  put(f, pos, rx_fec_kind::parity, image, len);
}

bool rx_fec_rebuild(rx_fec *f, std::uint64_t pos, std::uint8_t *out, std::size_t *len) {
  const std::uint64_t g = f->group;
  if (g < 2 || g > group_max) {
    return false;
  }
  const std::uint64_t q = pos - pos % g + g - 1; // the group's parity position
  if (q < pos) {
    return false; // wrapped
  }
  rx_fec_entry &parity = entry(f, q);
  if (parity.pos != q || parity.kind != rx_fec_kind::parity) {
    return false;
  }
  std::uint64_t missing = 0;
  std::uint64_t missing_pos = 0;
  for (std::uint64_t p = q - (g - 1); p < q; ++p) {
    const rx_fec_entry &d = entry(f, p);
    if (d.pos != p || d.kind == rx_fec_kind::none) {
      ++missing;
      missing_pos = p;
      continue;
    }
    if (d.kind != rx_fec_kind::data || d.len > parity.len) {
      return false; // a parity packet inside the group, or an image the parity cannot cover
    }
  }
  if (missing != 1) {
    return false; // complete (nothing to do), or too many gone: resends will fill them
  }
  std::memcpy(out, parity.image, parity.len);
  for (std::uint64_t p = q - (g - 1); p < q; ++p) {
    if (p == missing_pos) {
      continue;
    }
    const rx_fec_entry &d = entry(f, p);
    for (std::size_t i = 0; i < d.len; ++i) {
      out[i] ^= d.image[i];
    }
  }
  *len = parity.len;
  parity.kind = rx_fec_kind::spent;
  ++f->stat.rebuilt;
  return true;
}
