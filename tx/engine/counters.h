// The tunnel's and each transmission's counters. Live records are written by the main thread;
// the once-a-second snapshot (stats/snapshot.h) copies them for the reports. The queue levels
// are sampled by queues.h.
#pragma once

#include <cstdint>

#include "int64_rrd.h"

struct stats {
  std::uint64_t in_pkts = 0;
  std::uint64_t in_bytes = 0;
  std::uint64_t select = 0;
  std::uint64_t t_fdsel = 0;
  std::uint64_t t_fdset = 0;
  std::uint64_t t_net_tx = 0;
  std::uint64_t t_net_rx = 0;
  std::uint64_t t_ch_rep = 0;
  std::uint64_t t_aes = 0;
  std::uint64_t t_pre_fdset = 0;
  std::uint64_t t_pre_fdsel = 0;
  std::uint64_t t_select = 0;
  std::uint64_t cc = 0;
  std::uint64_t tei = 0;
  std::uint64_t sb = 0;
  std::uint64_t sendto_err = 0;
  int64_rrd from_driver{};
};

struct tx_stats {
  std::uint64_t resent[16] = {};
  std::uint64_t sent = 0;
  std::uint64_t too_late_to_send = 0;
  std::uint64_t too_late_to_resend = 0;
  std::uint64_t slices_to_resend = 0;
  std::uint64_t ping_pkts = 0;
  std::uint64_t fec = 0;
  int64_rrd tr_queue{};
  int64_rrd retr_queue{};
};
