#include "tun_proto.h"

tun_rx_check tun_check_rx_packet(std::span<const std::uint8_t> datagram, std::uint8_t version) {
  if (datagram.size() < sizeof(tun_packet_header) || !tun_has_magic(datagram)) {
    return tun_rx_check::wrong_magic;
  }
  if (datagram[4] != version) {
    return tun_rx_check::wrong_version;
  }
  switch (datagram[5] & tun_type_mask) {
  case TUN_REQUEST:
  case TUN_PING:
  case TUN_INFO_REQUEST:
  case TUN_INFO_REPLY:
  case TUN_AES_REQUEST:
    return tun_rx_check::accept;
  default:
    return tun_rx_check::unknown_type;
  }
}
