// The play-out window: slices held between their arrival and their play-out, indexed by
// sequence number modulo a power-of-two capacity, played strictly in sequence order. It owns
// the slot storage (allocated once), knows which numbers are present, duplicate, late or
// missing, and decides when a gap is given up. Time values are monotonic nanoseconds.
#pragma once

#include <climits>
#include <cstdint>
#include <memory>
#include <span>

#include "slice.h"

// How the slice that fills a slot came: the engine counts recoveries by it at play-out.
enum class rx_origin : std::uint8_t { wire, resend, parity };

struct rx_slot {
  std::uint64_t seq = 0;    // the number this slot holds or last held
  std::int64_t time_ns = 0; // the slice's time on the transmitter's clock
  std::uint8_t ts_packets = 0;
  bool filled = false; // waiting to be played
  rx_origin origin = rx_origin::wire;
  std::uint8_t data[slice_payload_max];
};

enum class rx_insert : std::uint8_t {
  stored,
  duplicate,     // this number is waiting or was already played
  late,          // its turn has passed (played out or given up)
  out_of_window, // too far ahead of the play head to be held
  resynced,      // stored after the window jumped to it
};

struct rx_window {
  std::unique_ptr<rx_slot[]> slots;
  std::uint64_t capacity = 0;
  std::uint64_t head = 0;    // next number to play; 0 until the first slice arrives
  std::uint64_t highest = 0; // highest number stored so far
  std::uint64_t pending = 0; // filled slots
  unsigned strays = 0;       // consecutive slices refused as out of range
  bool playing = false;      // something was played; until then the head may move back
  // The latest slice time stored since the window (re)started: a number behind the head with a
  // later time is not a resend (those keep their old times) but a new numbering.
  std::int64_t newest_time_ns = INT64_MIN;
  // After such a restart, the old stream's newest time: its copies still on the way (resends
  // carry their old times) are late, wherever their numbers fall in the new stream.
  std::int64_t old_stream_until_ns = INT64_MIN;
};

// Consecutive out-of-range slices, with nothing waiting, after which the window moves to them.
// One stray (a copy from long ago, a forged number) must not move the stream.
inline constexpr unsigned rx_resync_after = 8;

// Allocates `capacity` slots (rounded up to a power of two). False when memory is short.
bool rx_window_init(rx_window *w, std::uint64_t capacity);

// Stores a slice. Until the first slice is played, a smaller number that still fits the window
// moves the head back to it (the first arrival need not be the first slice). After that,
// numbers below the head are late or duplicate; numbers more than a window
// away are refused, until rx_resync_after of them in a row arrive while nothing is waiting:
// then the window moves to them (a jump after a long silence). A number behind the head whose
// slice time is later than any stored is a restarted transmitter counting from 1 again: the
// window drops what waits of the old stream and starts again at it (resynced).
rx_insert rx_window_insert(rx_window *w, std::uint64_t seq, std::int64_t time_ns,
                           std::span<const std::uint8_t> ts);

// The slot of the next slice to play and the number of missing slices before it, or null when
// nothing is waiting. Does not advance.
const rx_slot *rx_window_peek(const rx_window *w, std::uint64_t *missing_before);

// True when `seq` lies between the play head and the highest number stored and is not held:
// a slice that can still be asked for.
bool rx_window_missing(const rx_window *w, std::uint64_t seq);

// Marks the slot returned by peek as played and moves the head past it.
void rx_window_pop(rx_window *w);
