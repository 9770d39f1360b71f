// When a loop ticks and when it waits on its sockets, the same rule at both ends of the tunnel.
//
// Ticking (sleeping a tick, then draining every socket) gathers what a tick brought into one
// wake-up. That pays only while datagrams come closer together than a tick: a slower stream
// (about 10 Mbit/s of 1316-byte slices at 1 ms) leaves most ticks empty, and those empty ticks
// come on top of the wake-up each datagram costs anyway. Such a stream is better waited for.
#pragma once

#include <cstddef>
#include <cstdint>

struct tun_pace {
  std::int64_t tick_ns = 1000000;
  bool read_before = false; // whether any datagram was read yet, and when the last one was
  std::int64_t last_read_ns = 0;
};

// After a pass that read `read` datagrams (`ticked`: the pass was a tick) at `now_ns` on the
// monotonic clock: whether the datagrams call for ticking next. A tick that found any ticks on;
// a pass that waited ticks next when it read more than one, or one within a tick of the one
// before. (A waiting pass reads what arrives at once, so that gap is the stream's own spacing.)
bool tun_pace_ticks_next(tun_pace *p, bool ticked, std::size_t read, std::int64_t now_ns);
