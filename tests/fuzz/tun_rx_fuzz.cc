// A datagram from a receiver through the transmitter's receive checks and the info reader,
// exactly as many bytes as arrived.
#include <cstdint>
#include <span>
#include <vector>

#include "info.h"
#include "tun_proto.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  // A copy of exactly the received size, so that the sanitizer sees any read beyond it.
  std::vector<std::uint8_t> datagram(data, data + size);
  const std::span<const std::uint8_t> d(datagram);
  for (std::uint8_t version : {5, 6, 7}) {
    tun_check_rx_packet(d, version);
  }
  static tun_info peer;
  tun_receive_info_packet(&peer, d);
  return 0;
}
