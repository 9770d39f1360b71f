// The receiver's own bad link: a seeded, repeatable impairment of the datagrams between the
// sockets and the engine, one instance per direction. It loses datagrams at random and in
// bursts (a two-state Gilbert-Elliott chain: every datagram is lost in the bad state), copies
// them, holds some back so that later ones overtake them, and delays them with jitter. Delayed
// datagrams wait in a queue allocated once at start-up; nothing is allocated per datagram.
// Time values are monotonic nanoseconds; the same seed and the same calls give the same fates.
#pragma once

#include <cstdint>
#include <memory>
#include <netinet/in.h>
#include <span>
#include <string>

struct rx_impair_config {
  double loss = 0;          // probability that a datagram is lost on its own
  double burst_enter = 0;   // probability, per datagram in the good state, of entering a burst
  double burst_leave = 1;   // probability, per datagram in a burst, of the burst ending after it
  double duplicate = 0;     // probability that a datagram arrives twice
  double reorder = 0;       // probability that a datagram is held back by `reorder_ns`
  std::int64_t reorder_ns = 0;
  std::int64_t delay_ns = 0;  // added to every datagram
  std::int64_t jitter_ns = 0; // plus a uniform share of this
  std::uint64_t seed = 1;

  bool any() const {
    return loss > 0 || burst_enter > 0 || duplicate > 0 || reorder > 0 || delay_ns > 0 || jitter_ns > 0;
  }
  bool delays() const { return reorder > 0 || delay_ns > 0 || jitter_ns > 0; }
};

struct rx_impair_stats {
  std::uint64_t offered = 0;
  std::uint64_t lost_random = 0;
  std::uint64_t lost_burst = 0;
  std::uint64_t bursts = 0;
  std::uint64_t duplicated = 0;
  std::uint64_t reordered = 0;
  std::uint64_t delayed = 0;
  std::uint64_t queue_full = 0; // dropped because the delay queue had no room
};

// Where a datagram goes when its time comes.
using rx_impair_deliver = void (*)(void *ctx, std::span<const std::uint8_t> datagram, const sockaddr_in &addr);

struct rx_impair_entry {
  std::int64_t due_ns;
  std::uint64_t order; // arrival order breaks ties, so plain delay keeps the order
  sockaddr_in addr;
  std::uint16_t len;
  std::uint8_t data[2000];
};

struct rx_impair {
  rx_impair_config cfg;
  std::uint64_t rng = 0;
  bool bad = false;
  rx_impair_stats stat;
  rx_impair_deliver deliver = nullptr;
  void *ctx = nullptr;
  // Delay queue: a binary heap of indices into `entries`, and a stack of free indices.
  std::unique_ptr<rx_impair_entry[]> entries;
  std::unique_ptr<std::uint32_t[]> heap;
  std::unique_ptr<std::uint32_t[]> free_list;
  std::uint32_t capacity = 0;
  std::uint32_t queued = 0;
  std::uint32_t free_count = 0;
  std::uint64_t order = 0;
};

// Sets up one direction; `stream` tells the directions apart so that one seed gives each its
// own sequence. Allocates the queue (`queue_slots` datagrams) only when the link delays.
// False when memory is short.
bool rx_impair_init(rx_impair *im, const rx_impair_config &cfg, std::uint64_t stream, std::uint32_t queue_slots,
                    rx_impair_deliver deliver, void *ctx);

// Offers one datagram at `now_ns`: it is lost, delivered at once, or queued (with its copy).
void rx_impair_offer(rx_impair *im, std::span<const std::uint8_t> datagram, const sockaddr_in &addr,
                     std::int64_t now_ns);

// Delivers every queued datagram due by `now_ns`, earliest first.
void rx_impair_release(rx_impair *im, std::int64_t now_ns);

// When the earliest queued datagram is due, or INT64_MAX with none queued.
std::int64_t rx_impair_next_due(const rx_impair *im);

// Parses a link description such as "loss=1,burst=5:20,delay=20,jitter=5,reorder=1:10,dup=1"
// (percentages and milliseconds; burst=<loss %>:<mean burst length in datagrams>) into `cfg`,
// keeping what it does not name. False with the reason in `why`.
bool rx_impair_parse(const char *text, rx_impair_config *cfg, std::string *why);

// One line: what the link did in this direction.
std::string rx_impair_summary(const rx_impair *im);
