// The whole tunnel in one process on a virtual clock: the transmitter's engine, driven pass by
// pass in the order its select() loop drives it, the reference receiver's engine, and the
// receiver's seeded link model on every path in both directions. No socket, no thread, no
// real time: a case of thousands of slices runs in milliseconds and repeats exactly.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "rx_engine.h"
#include "rx_impair.h"
#include "tesseltx.h"
#include "ts_stream.h"

struct sim_config {
  unsigned slices = 2000;               // input datagrams of 7 TS packets
  unsigned rate = 1000;                 // input datagrams per second (about 10.5 Mbit/s)
  unsigned outputs = 1;                 // transmissions; more than one runs in backup mode
  unsigned delay_ms = 300;              // transmitter's tunnel delay (-o)
  std::int64_t latency_ms = 1000;       // receiver's play-out latency (-o)
  std::int64_t request_repeat_ms = 100; // receiver's -r
  std::uint8_t fec = 0;                 // transmitter's -f
  bool encrypt = false;                 // -K at both ends
  std::string link;                     // link model of every path, both directions (rx_impair_parse)
  std::uint64_t seed = 1;
  // Backup: from this virtual time (ms after the first input) the first output's path is dead
  // in both directions; 0 for never.
  std::int64_t cut_first_path_ms = 0;
  unsigned ping_timeout_exit_ms = 0; // transmitter's -u, in ms
};

struct sim_result {
  std::vector<std::uint8_t> source; // the stream bytes fed in
  std::vector<std::uint8_t> played; // the stream bytes the receiver played
  rx_stats rx{};
  std::uint64_t passes = 0;
  std::uint64_t resent = 0;        // resends of all outputs
  std::uint64_t parity = 0;        // parity packets of all outputs
  std::uint64_t lost_on_links = 0; // datagrams the link models dropped, both directions
  std::uint8_t active_at_end = 0;  // id of the active transmission
  bool stopped = false;            // the engine asked to end the process
  int exit_status = 0;             // with this status
  std::string log;                 // everything both engines logged
};

// Runs one case to the end: input, then until everything fed in has been played or given up.
sim_result sim_run(const sim_config &cfg);
