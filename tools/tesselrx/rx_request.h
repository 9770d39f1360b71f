// Asking the transmitter again for what did not arrive. It owns the list of missing slice
// numbers, in ascending order as gaps are noticed, each with the time it is next to be asked
// for, and builds the TUN_REQUEST packets: every packet carries a fresh request id (the `fec`
// bit set), lists its numbers in ascending order and holds no more than one datagram's worth.
// A number is asked again after `repeat_ns` for as long as it is missing and its turn to play
// has not passed; numbers behind the play head are dropped from the list, never asked for.
// Unless fixed, `repeat_ns` follows the measured round trip (smoothed as TCP smooths its own),
// so that a short link gets many chances within the latency and a long one no duplicates. The
// margin is one deviation, not TCP's four: asking early costs a duplicate, asking late a slice.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "rx_window.h"
#include "tun_proto.h"

// What the transmitter reads of one request: its receive buffer holds 249 numbers.
inline constexpr std::size_t rx_request_max_seqs = tun_request_max_seqs;
inline constexpr std::int64_t rx_request_repeat_ns = 200 * std::int64_t{1000000};
// Bounds of a repeat time that follows the round trip, and the least margin over it.
inline constexpr std::int64_t rx_request_repeat_min_ns = 10 * std::int64_t{1000000};
inline constexpr std::int64_t rx_request_repeat_max_ns = 2000 * std::int64_t{1000000};
inline constexpr std::int64_t rx_request_repeat_margin_ns = 5 * std::int64_t{1000000};

struct rx_missing {
  std::uint64_t seq;
  std::int64_t due_ns;    // when it is (next) to be asked for
  std::uint64_t wait_pos; // before the first ask: FEC position whose arrival ends the wait, 0 none
  std::uint32_t asks;     // how often it was asked for
};

struct rx_request_stats {
  std::uint64_t packets = 0;  // request packets sent for known gaps
  std::uint64_t seqs = 0;     // numbers asked for, repeats included
  std::uint64_t repeats = 0;  // numbers asked for again
  std::uint64_t probes = 0;   // packets asking past the highest number after a silence
  std::uint64_t overflow = 0; // numbers dropped unasked because the list was full
};

using rx_request_send = void (*)(void *ctx, std::span<const std::uint8_t> datagram);

struct rx_requests {
  std::unique_ptr<rx_missing[]> list; // ring, ascending from `first`
  std::uint64_t capacity = 0;
  std::uint64_t first = 0;
  std::uint64_t count = 0;
  std::int64_t repeat_ns = rx_request_repeat_ns; // the fixed value until a round trip is known
  bool repeat_follows_rtt = true;
  std::int64_t srtt_ns = 0;   // smoothed round trip, 0 before the first
  std::int64_t rttvar_ns = 0; // its smoothed deviation
  std::int64_t next_scan_ns = INT64_MAX;
  // Highest FEC position seen + 1 (0: none), and the lowest position still waited for.
  std::uint64_t fec_seen = 0;
  std::uint64_t lowest_wait = UINT64_MAX;
  std::uint8_t version = 7;
  std::uint8_t next_id = 0;
  rx_request_stats stat;
  unsigned building = 0; // numbers in `packet`
  alignas(8) std::uint8_t packet[sizeof(tun_packet_header) + 8 * rx_request_max_seqs] = {};
};

// Room for `capacity` missing numbers (the play-out window's size is enough). False when
// memory is short.
bool rx_requests_init(rx_requests *r, std::uint64_t capacity, std::uint8_t version);

// Notes the numbers [from, to) as missing, first to be asked for at `due_ns`, or earlier once a
// packet past FEC position `wait_pos` has arrived (0: no such wait). Numbers must come in
// ascending order across calls.
void rx_requests_add(rx_requests *r, std::uint64_t from, std::uint64_t to, std::int64_t due_ns,
                     std::uint64_t wait_pos = 0);

// A packet at FEC position `pos` arrived; true when that ends a wait, so a scan is due.
bool rx_requests_position(rx_requests *r, std::uint64_t pos);

// Drops what arrived or fell behind the play head and asks for every number that is due, in
// as few packets as fit. Sets `next_scan_ns`.
void rx_requests_scan(rx_requests *r, const rx_window *w, std::int64_t now_ns, rx_request_send send,
                      void *ctx);

// A round trip of `rtt_ns` was measured: unless the repeat time is fixed, it becomes the
// smoothed round trip plus its deviation (at least a small margin), within its bounds.
// Nonsense samples (not positive) are ignored.
void rx_requests_note_rtt(rx_requests *r, std::int64_t rtt_ns);

// Asks for [from, from + n) in one packet (n at most rx_request_max_seqs), outside the list.
void rx_requests_probe(rx_requests *r, std::uint64_t from, unsigned n, rx_request_send send, void *ctx);
