// The receiving end of the tunnel as a protocol object: datagrams and the current time go in,
// datagrams to send and stream bytes to play come out through a small transport table. It owns
// the play-out window, the peer's address as learned from its packets, the ping schedule, both
// descriptions and the counters. It never touches a socket or a clock, so tests drive it with
// fakes and hand-made time.
//
// Missing slices are asked for again (rx_request.h) and single losses rebuilt from parity
// packets (rx_fec.h); the key exchange and decryption slot in at the key_reply case and before
// a slice is stored.
#pragma once

#include <cstdint>
#include <netinet/in.h>
#include <span>
#include <vector>

#include "aes.h"
#include "info.h"
#include "nk_context.h"
#include "rx_fec.h"
#include "rx_parse.h"
#include "rx_request.h"
#include "rx_window.h"

// Where the engine's output goes. Both calls are made synchronously from rx_engine_input,
// rx_engine_poll or rx_engine_flush.
struct rx_transport {
  void *ctx = nullptr;
  // A datagram for the transmitter at `to`.
  void (*send)(void *ctx, std::span<const std::uint8_t> datagram, const sockaddr_in &to) = nullptr;
  // One slice's stream bytes (188 * n, n >= 1), in sequence order.
  void (*play)(void *ctx, std::span<const std::uint8_t> ts) = nullptr;
};

struct rx_config {
  std::uint8_t protocol_version = 7;
  std::int64_t latency_ns = 300 * std::int64_t{1000000};
  std::int64_t ping_interval_ns = 100 * std::int64_t{1000000};
  std::uint64_t window_slices = 8192;
  // A slice still missing this long after it was asked for is asked for again.
  std::int64_t request_repeat_ns = rx_request_repeat_ns;
  // After this long without data, the numbers just past the highest are asked for, so that a
  // loss at the end of a burst of input is noticed; again every 200 ms while the silence lasts
  // and those slices could still be played.
  std::int64_t probe_after_ns = 50 * std::int64_t{1000000};
  unsigned probe_slices = 16;
  // A first slice numbered up to this is taken to be the start of a fresh stream whose first
  // slices were lost: the numbers before it are asked for. A higher one is a stream joined
  // while it runs (a restarted receiver), which starts where it is and asks for no history.
  std::uint64_t fresh_stream_max = 32;
  // Ask the transmitter for its key (every 100 ms until one is accepted) and decrypt slices.
  bool decrypt = false;
  tun_info info; // our own description
};

// Every field moves in a unit test; names say what is counted.
struct rx_stats {
  std::uint64_t datagrams = 0;
  std::uint64_t datagram_bytes = 0;
  // refused, by reason
  std::uint64_t wrong_magic = 0;
  std::uint64_t wrong_version = 0;
  std::uint64_t unknown_type = 0;
  std::uint64_t malformed = 0;
  // accepted, by type
  std::uint64_t data = 0;
  std::uint64_t data_resent = 0;
  std::uint64_t data_fec_layout = 0; // of data + data_resent
  std::uint64_t fec_parity = 0;
  std::uint64_t ping_replies = 0;
  std::uint64_t info_requests = 0;
  std::uint64_t info_replies = 0;
  std::uint64_t key_replies = 0;
  // slices
  std::uint64_t slices = 0;        // distinct slices stored
  std::uint64_t slice_bytes = 0;   // their stream bytes
  std::uint64_t duplicates = 0;
  std::uint64_t late = 0;          // arrived after their turn had passed
  std::uint64_t out_of_window = 0;
  std::uint64_t resyncs = 0;
  std::uint64_t gaps = 0;          // jumps forward in the highest number seen
  std::uint64_t gap_slices = 0;    // numbers skipped by those jumps at the time
  std::uint64_t lost = 0;          // numbers given up at play-out
  // played slices that came only through a rebuild or a resend (a first send of the slice
  // arriving later, overtaken, takes the credit back)
  std::uint64_t recovered_fec = 0;
  std::uint64_t recovered_resend = 0;
  std::uint64_t played = 0;        // slices played (empty ones included)
  std::uint64_t played_bytes = 0;
  std::uint64_t first_seq = 0;
  std::uint64_t highest_seq = 0;
  // pings
  std::uint64_t pings_sent = 0;
  std::uint64_t rtt_count = 0;
  std::int64_t rtt_min_ns = 0;
  std::int64_t rtt_max_ns = 0;
  std::int64_t rtt_sum_ns = 0;
  // descriptions
  std::uint64_t info_sent = 0;
  // everything sent to the transmitter
  std::uint64_t sent_datagrams = 0;
  std::uint64_t sent_bytes = 0;
  // encryption
  std::uint64_t key_requests = 0;
  std::uint64_t keys_accepted = 0;
  std::uint64_t decrypted = 0;
  std::uint64_t undecryptable = 0; // encrypted slices dropped: no key, or decryption failed
};

struct rx_engine {
  NKCx *nk = nullptr;
  rx_config cfg;
  rx_transport io;
  rx_window window;
  rx_stats stat;
  bool peer_known = false;
  sockaddr_in peer{};
  tun_info peer_info;
  std::vector<std::uint8_t> info_packet; // own description, built once
  std::uint64_t ping_seq = 0;
  std::int64_t next_ping_ns = 0;
  // Smallest (arrival - slice time) seen: the clock offset between the two ends plus the
  // shortest trip. A slice plays at its own time + this offset + the latency, so the stream
  // leaves with the spacing it entered the transmitter with.
  bool offset_known = false;
  std::int64_t offset_ns = 0;
  unsigned reject_logs = 0;
  rx_requests req;
  rx_fec fec;
  bool fec_seen = false; // data came in FEC layout: parity may rebuild what is missing
  std::int64_t last_data_ns = 0;
  std::int64_t next_probe_ns = INT64_MAX;
  alignas(8) std::uint8_t rebuilt[sizeof(tun_data_packet)] = {};
  // The receiving end of the key exchange, with `cfg.decrypt` only.
  tun_aes_ptr aes;
  bool key_asked = false;
  bool key_not_needed = false; // the stream came in clear: this transmitter does not encrypt
  bool undecryptable_logged = false;
  bool rekeying = false; // the key was dropped for a restarted transmitter's new one
  alignas(8) std::uint8_t clear[slice_payload_max] = {};
  alignas(8) std::uint8_t out[sizeof(tun_ping_packet)] = {};
};

// Builds the own description and allocates the window. False (reason logged) on failure.
bool rx_engine_init(rx_engine *e, NKCx *nk, const rx_config &cfg, const rx_transport &io);

// Handles one datagram that arrived at `now_ns` from `from`. Returns why it was refused.
rx_reject rx_engine_input(rx_engine *e, std::span<const std::uint8_t> datagram, const sockaddr_in &from,
                          std::int64_t now_ns);

// Plays every slice whose time has come and sends a due ping. Returns when it wants to be
// called next (never later than one ping interval from now).
std::int64_t rx_engine_poll(rx_engine *e, std::int64_t now_ns);

// Plays everything still waiting, in order, without waiting for its time (at exit).
void rx_engine_flush(rx_engine *e);

// The moment slice time `slice_time_ns` is due to play.
std::int64_t rx_engine_due(const rx_engine *e, std::int64_t slice_time_ns);

// Writes the final report through nk_log.
void rx_engine_report(const rx_engine *e);
