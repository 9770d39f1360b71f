// One output of the tunnel: a destination address with a range of UDP ports, its socket, its
// sending position, resend bookkeeping, pacing window, FEC accumulator, ping and info state
// and counters. Transmissions live in a list owned by the transmitter and are never freed.
#pragma once

#include <cstdint>
#include <memory>
#include <netinet/in.h>
#include <sys/select.h>

#include "aes.h"
#include "info.h"
#include "stats.h"
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
  std::uint8_t id = 0;
  std::uint8_t active_flag = 0;
};

// Creates a transmission for a "-d [ip]:port" argument and appends it to the transmitter's
// list; null (after logging why) when the argument or the socket fails.
transmission *tr_create_from_optarg(tesseltx *t, const char *arg);

// Gives every transmission of the list its resend table, one entry per ring slot.
void tr_init_buffer(transmission *tr);

// Per-pass hooks of the main loop: descriptor sets before select(), service after it.
void tr_fdset(transmission *tr, int *max_fd, fd_set *rfds, fd_set *wfds);
void tr_fdsel(transmission *tr, fd_set *rfds, fd_set *wfds);
