#include "info.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "tun_proto.h"

namespace {

constexpr std::size_t tlv_string_max = 255;

void put_string(std::vector<std::uint8_t> &out, std::uint8_t type, const std::string &s) {
  const std::size_t len = s.size() < tlv_string_max ? s.size() : tlv_string_max;
  out.push_back(type);
  out.push_back(static_cast<std::uint8_t>(len));
  out.insert(out.end(), s.begin(), s.begin() + static_cast<std::ptrdiff_t>(len));
}

bool same(const std::optional<std::string> &a, const std::optional<std::string> &b) {
  return a == b;
}

// The length of the well-formed UTF-8 sequence at the start of `s` (shortest form, no
// surrogates, at most U+10FFFF), or 0.
std::size_t utf8_sequence(std::string_view s) {
  const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char c = b(0);
  std::size_t n = 0;
  unsigned char lo = 0x80;
  unsigned char hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    lo = c == 0xE0 ? 0xA0 : 0x80;
    hi = c == 0xED ? 0x9F : 0xBF;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    lo = c == 0xF0 ? 0x90 : 0x80;
    hi = c == 0xF4 ? 0x8F : 0xBF;
  } else {
    return 0;
  }
  if (s.size() < n || b(1) < lo || b(1) > hi) {
    return 0;
  }
  for (std::size_t i = 2; i < n; ++i) {
    if (b(i) < 0x80 || b(i) > 0xBF) {
      return 0;
    }
  }
  return n;
}

void put_escaped(std::string &out, unsigned char c) {
  static constexpr char hex[] = "0123456789abcdef";
  out += "\\x";
  out += hex[c >> 4];
  out += hex[c & 0xF];
}

} // namespace

std::string tun_printable(std::string_view text, std::size_t max_out) {
  std::string out;
  out.reserve(text.size());
  // Where each whole character or escape ends, so that a cut never splits one.
  std::size_t fits = 0;
  const std::size_t budget = max_out < 3 ? 0 : max_out - 3;
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
      ++i;
    } else {
      const std::size_t n = c >= 0x80 ? utf8_sequence(text.substr(i)) : 0;
      // U+0080..U+009F are the C1 controls, encoded C2 80..C2 9F.
      const bool c1 = n == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0;
      if (n == 0 || c1) {
        put_escaped(out, c);
        ++i;
      } else {
        out.append(text.substr(i, n));
        i += n;
      }
    }
    if (out.size() <= budget) {
      fits = out.size();
    }
    if (out.size() > max_out) {
      out.resize(fits);
      out += "...";
      return out;
    }
  }
  return out;
}

std::vector<std::uint8_t> tun_prepare_info_packet(const tun_info *info, std::uint8_t protocol_version) {
  std::vector<std::uint8_t> pkt(sizeof(tun_packet_header), 0);
  if (info->node_no != 0) {
    pkt.insert(pkt.end(), {TUN_TLV_NODE_NO, 1, static_cast<std::uint8_t>(info->node_no & 0xFF)});
  }
  if (info->endpoint_no != 0) {
    pkt.insert(pkt.end(), {TUN_TLV_ENDPOINT_NO, 1, static_cast<std::uint8_t>(info->endpoint_no & 0xFF)});
  }
  if (info->cluster_name) {
    put_string(pkt, TUN_TLV_CLUSTER_NAME, *info->cluster_name);
  }
  if (info->description) {
    put_string(pkt, TUN_TLV_DESCRIPTION, *info->description);
  }
  tun_packet_header h{};
  tun_header_init(&h, protocol_version, TUN_INFO_REQUEST);
  tun_set_body_length(&h, pkt.size() - sizeof h);
  std::memcpy(pkt.data(), &h, sizeof h);
  return pkt;
}

int tun_receive_info_packet(tun_info *info, std::span<const std::uint8_t> packet) {
  if (packet.size() < sizeof(tun_packet_header)) {
    return 0;
  }
  tun_packet_header h{};
  std::memcpy(&h, packet.data(), sizeof h);
  std::size_t end = sizeof h + tun_body_length(&h);
  if (end > packet.size()) {
    end = packet.size();
  }
  tun_info fresh{};
  std::size_t pos = sizeof h;
  // An element needs its type and length bytes; a value is read only as far as it was received.
  while (pos + 2 <= end) {
    const std::uint8_t type = packet[pos];
    const std::size_t length = packet[pos + 1];
    const std::size_t value = pos + 2;
    const std::size_t available = end - value;
    switch (type) {
    case TUN_TLV_NODE_NO:
    case TUN_TLV_ENDPOINT_NO:
      if (available >= 1) {
        (type == TUN_TLV_NODE_NO ? fresh.node_no : fresh.endpoint_no) = packet[value];
      }
      break;
    case TUN_TLV_CLUSTER_NAME:
    case TUN_TLV_DESCRIPTION: {
      const std::size_t take = length < available ? length : available;
      const auto *chars = reinterpret_cast<const char *>(packet.data() + value);
      std::string s(chars, strnlen(chars, take));
      (type == TUN_TLV_CLUSTER_NAME ? fresh.cluster_name : fresh.description) = std::move(s);
      break;
    }
    default:
      break;
    }
    pos = value + length;
  }
  const bool changed = fresh.node_no != info->node_no || fresh.endpoint_no != info->endpoint_no ||
                       !same(fresh.cluster_name, info->cluster_name) ||
                       !same(fresh.description, info->description);
  *info = std::move(fresh);
  return changed ? 1 : 0;
}

std::string tun_info_dump_path(const char *name) {
  char path[31];
  std::snprintf(path, sizeof path, "/tmp/tuninfo-%s.txt", name);
  return path;
}

void tun_dump_info(const char *name, const tun_info *info) {
  const std::string path = tun_info_dump_path(name);
  std::FILE *f = std::fopen(path.c_str(), "w");
  if (f == nullptr) {
    return;
  }
  if (info->node_no != 0) {
    std::fprintf(f, "node_no: %" PRIu64 "\n", info->node_no);
  }
  if (info->cluster_name) {
    std::fprintf(f, "cluster_name: %s\n", tun_printable(*info->cluster_name).c_str());
  }
  if (info->endpoint_no != 0) {
    std::fprintf(f, "endpoint_no: %" PRIu64 "\n", info->endpoint_no);
  }
  if (info->description) {
    std::fprintf(f, "description: %s\n", tun_printable(*info->description).c_str());
  }
  std::fclose(f);
}
