// One output of the tunnel: a destination address with a range of UDP ports, its socket, its
// sending position, resend bookkeeping, pacing window, FEC accumulator, ping and info state
// and counters. Transmissions live in a list owned by the transmitter and are never freed.
#pragma once

#include <cstdint>
#include <memory>
#include <netinet/in.h>

#include "aes.h"
#include "counters.h"
#include "info.h"
#include "ratelimit.h"
#include "tun_proto.h"
#include "tun_time.h"

struct tesseltx;

// Resend bookkeeping of one ring slot.
struct tx_slice {
  std::uint64_t seq = 0;
  timespec64 last_request{};
  std::uint32_t request_counter = 0;
  std::uint32_t to_be_send = 0;
  timespec64 departure_time{};
  std::uint8_t request_id = 0;
};

// Pacing window: at most `max` stream packets per second, spread over the second.
struct bandwidth {
  timespec64 start{};
  std::uint64_t count = 0;
  std::uint64_t max = 0;
};

inline constexpr std::size_t tr_packet_size = 2000;

struct tr_fec_state {
  tun_packet_buffer buffer{};
  std::uint64_t seq = 0;
  std::uint8_t size = 0;
};

struct tr_fuses {
  timespec64 last_transmitted_data_packet{};
};

struct transmission {
  transmission *prev = nullptr;
  transmission *next = nullptr;
  std::uint32_t port = 0;
  std::uint32_t next_port = 0;
  std::uint32_t port_range_size = 0;
  sockaddr_in sin{};
  int sock = -1;
  std::uint64_t next_slice = 0;
  tx_stats stat{};
  tx_stats stat2{};
  tun_packet_buffer packet{};
  tr_fec_state fec{};
  const tun_packet_header *aes_reply = nullptr;
  // This output's own key reply: a request on another output must not replace the reply this
  // one's receiver is still waiting for.
  alignas(8) std::uint8_t aes_packet[aes_packet_size] = {};
  std::unique_ptr<tx_slice[]> slice;
  tesseltx *t = nullptr;
  std::uint64_t first_to_repeat = 0;
  timespec64 ping{};
  std::uint64_t ping_seq = 0;
  timespec64 last_ping{};
  tun_info info{};
  char info_request = 0;
  char info_reply = 0;
  timespec64 last_info{};
  bandwidth bw{};
  tr_fuses fuses{};
  // What this output's peer may make the transmitter log or compute; a new output starts with
  // fresh limits.
  tr_peer_limits limits{};
  std::uint8_t id = 0;
  std::uint8_t active_flag = 0;
};

// Appends a transmission to `sin` (its first port in network order) with socket `sock` to the
// transmitter's list and gives it the next id. The record starts as the first output does:
// active, at slice 1, asking for a description.
transmission *tr_new(tesseltx *t, const sockaddr_in &sin, int sock);

// Gives every transmission of the list its resend table, one entry per ring slot.
void tr_init_buffer(transmission *tr);

// Makes a transmission the active one, starting it at the newest slice received.
void tr_activate(transmission *tr);
