#include "rx_window.h"

#include <bit>
#include <cstring>
#include <limits>
#include <new>

bool rx_window_init(rx_window *w, std::uint64_t capacity) {
  capacity = std::bit_ceil(capacity < 2 ? std::uint64_t{2} : capacity);
  // On a 32-bit target new[] would take the count modulo 2^32 and "succeed" small.
  if (capacity == 0 || capacity > std::numeric_limits<std::size_t>::max() / sizeof(rx_slot)) {
    return false;
  }
  w->slots.reset(new (std::nothrow) rx_slot[static_cast<std::size_t>(capacity)]);
  if (!w->slots) {
    return false;
  }
  w->capacity = capacity;
  w->head = 0;
  w->highest = 0;
  w->pending = 0;
  w->strays = 0;
  w->playing = false;
  w->newest_time_ns = INT64_MIN;
  w->old_stream_until_ns = INT64_MIN;
  return true;
}

namespace {

rx_slot &slot_of(rx_window *w, std::uint64_t seq) {
  return w->slots[static_cast<std::size_t>(seq & (w->capacity - 1))];
}

void store(rx_window *w, std::uint64_t seq, std::int64_t time_ns, std::span<const std::uint8_t> ts) {
  rx_slot &s = slot_of(w, seq);
  s.seq = seq;
  s.time_ns = time_ns;
  s.ts_packets = static_cast<std::uint8_t>(ts.size() / ts_packet_size);
  s.filled = true;
  s.origin = rx_origin::wire;
  std::memcpy(s.data, ts.data(), ts.size());
  ++w->pending;
  if (seq > w->highest) {
    w->highest = seq;
  }
  if (time_ns > w->newest_time_ns) {
    w->newest_time_ns = time_ns;
  }
}

void restart_at(rx_window *w, std::uint64_t seq) {
  for (std::uint64_t i = 0; i < w->capacity && w->pending > 0; ++i) {
    if (w->slots[static_cast<std::size_t>(i)].filled) {
      w->slots[static_cast<std::size_t>(i)].filled = false;
      --w->pending;
    }
  }
  w->pending = 0;
  w->strays = 0;
  w->head = seq;
  w->highest = seq;
  w->playing = false;
  w->newest_time_ns = INT64_MIN;
}

} // namespace

rx_insert rx_window_insert(rx_window *w, std::uint64_t seq, std::int64_t time_ns,
                           std::span<const std::uint8_t> ts) {
  if (w->head == 0) {
    w->head = seq;
    store(w, seq, time_ns, ts);
    return rx_insert::stored;
  }
  // Distances are taken in unsigned arithmetic, so no number can overflow them.
  if (time_ns <= w->old_stream_until_ns) {
    return rx_insert::late;
  }
  bool behind = seq < w->head;
  if (behind && time_ns > w->newest_time_ns) {
    w->old_stream_until_ns = w->newest_time_ns;
    restart_at(w, seq);
    store(w, seq, time_ns, ts);
    return rx_insert::resynced;
  }
  const bool far_behind = behind && w->head - seq > w->capacity;
  const bool far_ahead = !behind && seq - w->head >= w->capacity;
  if (far_behind || far_ahead) {
    if (++w->strays >= rx_resync_after && w->pending == 0) {
      restart_at(w, seq);
      store(w, seq, time_ns, ts);
      return rx_insert::resynced;
    }
    return far_ahead ? rx_insert::out_of_window : rx_insert::late;
  }
  w->strays = 0;
  if (behind && !w->playing && w->highest - seq < w->capacity) {
    w->head = seq;
    behind = false;
  }
  rx_slot &s = slot_of(w, seq);
  if (behind) {
    // A played slot keeps its number until it is reused, which tells a copy from a latecomer.
    return s.seq == seq ? rx_insert::duplicate : rx_insert::late;
  }
  if (s.filled && s.seq == seq) {
    return rx_insert::duplicate;
  }
  store(w, seq, time_ns, ts);
  return rx_insert::stored;
}

const rx_slot *rx_window_peek(const rx_window *w, std::uint64_t *missing_before) {
  *missing_before = 0;
  if (w->pending == 0) {
    return nullptr;
  }
  // Bounded by the capacity as well, so that no number near 2^64 can make the walk wrap.
  for (std::uint64_t i = 0; i < w->capacity && w->head + i <= w->highest && w->head + i >= w->head; ++i) {
    const std::uint64_t seq = w->head + i;
    const rx_slot &s = w->slots[static_cast<std::size_t>(seq & (w->capacity - 1))];
    if (s.filled && s.seq == seq) {
      *missing_before = seq - w->head;
      return &s;
    }
  }
  return nullptr; // unreachable while `pending` counts filled slots in the window
}

void rx_window_pop(rx_window *w) {
  std::uint64_t missing = 0;
  const rx_slot *p = rx_window_peek(w, &missing);
  if (p == nullptr) {
    return;
  }
  rx_slot &s = w->slots[static_cast<std::size_t>(p->seq & (w->capacity - 1))];
  s.filled = false;
  w->playing = true;
  --w->pending;
  w->head = s.seq + 1;
}

bool rx_window_missing(const rx_window *w, std::uint64_t seq) {
  if (w->head == 0 || seq < w->head || seq > w->highest) {
    return false;
  }
  const rx_slot &s = w->slots[static_cast<std::size_t>(seq & (w->capacity - 1))];
  return !(s.filled && s.seq == seq);
}
