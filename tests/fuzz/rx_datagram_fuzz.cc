// Fuzz entry for the receiver: the input is a run of datagrams, each preceded by a two-byte
// length and a one-byte time step, handed to the parser and then to an engine with a do-nothing
// transport, polled after each one. Anything read beyond a datagram, any overflow or any hang
// is a finding.
#include <cstdint>
#include <cstring>
#include <span>

#include "rx_engine.h"

namespace {

void no_send(void *, std::span<const std::uint8_t>, const sockaddr_in &) {}
void no_play(void *, std::span<const std::uint8_t> ts) {
  volatile std::uint8_t sink = 0;
  for (std::uint8_t b : ts) {
    sink = static_cast<std::uint8_t>(sink ^ b);
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static NKCx nk{};
  static bool quiet = [] {
    nk_openlog(&nk, "rx-fuzz"); // keep the log lines out of the fuzzer's output
    return true;
  }();
  (void)quiet;
  rx_config cfg;
  cfg.window_slices = 64;
  cfg.latency_ns = 5000000;
  rx_engine e;
  if (!rx_engine_init(&e, &nk, cfg, rx_transport{nullptr, no_send, no_play})) {
    return 0;
  }
  sockaddr_in from{};
  from.sin_family = AF_INET;
  std::int64_t now = 1000000000;
  std::size_t pos = 0;
  while (pos + 3 <= size) {
    const std::size_t len = static_cast<std::size_t>(data[pos]) | (static_cast<std::size_t>(data[pos + 1]) << 8);
    now += static_cast<std::int64_t>(data[pos + 2]) * 1000000;
    pos += 3;
    const std::size_t take = len < size - pos ? len : size - pos;
    // An exact-size copy, so that the sanitizers see every byte beyond the datagram.
    auto *copy = new std::uint8_t[take ? take : 1];
    std::memcpy(copy, data + pos, take);
    rx_packet p;
    rx_parse_datagram(std::span<const std::uint8_t>(copy, take), 7, &p);
    rx_engine_input(&e, std::span<const std::uint8_t>(copy, take), from, now);
    delete[] copy;
    rx_engine_poll(&e, now);
    pos += take;
  }
  rx_engine_flush(&e);
  return 0;
}
