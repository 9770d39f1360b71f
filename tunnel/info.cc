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

} // namespace

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
    std::fprintf(f, "cluster_name: %s\n", info->cluster_name->c_str());
  }
  if (info->endpoint_no != 0) {
    std::fprintf(f, "endpoint_no: %" PRIu64 "\n", info->endpoint_no);
  }
  if (info->description) {
    std::fprintf(f, "description: %s\n", info->description->c_str());
  }
  std::fclose(f);
}
