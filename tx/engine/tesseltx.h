// The transmitter's main record: everything the process owns, from the command line's
// settings to the slice ring, the transmissions, the statistics and the rrdcached clients.
// Exactly one runs in the program; `_t` reaches it from signal handlers and the encryption
// worker. The engine reads the time only from `now`, which whoever drives it sets.
#pragma once

#include <cstdint>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>

#include "aes.h"
#include "counters.h"
#include "info.h"
#include "nk_context.h"
#include "rrdc.h"
#include "slice.h"
#include "transmission.h"
#include "tun_time.h"

inline constexpr std::uint8_t TX_FLAG_BACKUP = 0x04;
inline constexpr int tx_default_rcvbuf = 1048576;
inline constexpr std::size_t tx_pid_count = 8192;

struct slice_ring_deleter {
  void operator()(tun_slice *p) const;
};

struct tesseltx {
  NKCx nk{};
  int socket = 0;
  std::optional<std::string> machine_prefix;
  ::iovec iovec{};
  ::sockaddr addr{};
  ::msghdr datagram{};
  alignas(8) unsigned char cmsg[1024] = {};
  std::uint64_t port_range_size = 1;
  unsigned int delay = 0;
  transmission *tr = nullptr;
  unsigned int tr_count = 0;
  int buff_size = 0;
  std::uint64_t next = 1;
  std::unique_ptr<tun_slice[], slice_ring_deleter> buffer;
  timespec64 now{};
  ::timeval now_tv{};
  unsigned char check_alerts = 0;
  unsigned char cc[tx_pid_count] = {};
  tun_info info{};
  std::vector<std::uint8_t> info_packet; // own description, built at start-up
  transmission *active_tr = nullptr;
  std::uint8_t flags = 0;
  std::uint8_t protocol_version = 7;
  std::uint8_t fec = 0;
  unsigned int ping_timeout_exit_ms = 0;
  unsigned int ping_timeout_resocket_ms = 0;
  stats stat{};
  stats stat2{};
  int stats_interval = 1;
  rrdc rrd{};
  rrdc rrd2{};
  tun_aes_ptr aes;

  // The syslog identity from -l; `nk.syslog_prefix` points into it.
  std::optional<std::string> syslog_prefix;

  // Set by tx_stop once the tunnel cannot go on; whoever drives the engine then ends the
  // process with `exit_status` (tx_exit).
  bool stopping = false;
  int exit_status = 0;

  tesseltx() = default;
  tesseltx(const tesseltx &) = delete;
  tesseltx &operator=(const tesseltx &) = delete;
  // The process's record is never destroyed; records made by tests release their outputs.
  ~tesseltx();
};

extern tesseltx *_t;

// 1 when more than `offset` milliseconds have passed from `ts` to the transmitter's `now`.
inline int tun_universal_timeout(const tesseltx *t, const timespec64 *ts, std::uint64_t offset) {
  return tun_timeout(t->now, ts, offset);
}
