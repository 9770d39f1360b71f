#include "startup.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/time.h>
#include <unistd.h>

#include "clock.h"
#include "input.h"
#include "loop.h"
#include "nodekit.h"
#include "report.h"
#include "stop.h"
#include "tesseltx.h"

void tx_defaults(tesseltx *t) {
  // The record comes value-initialised (all zero); these are the documented non-zero defaults.
  t->port_range_size = 1;
  t->next = 1;
  t->protocol_version = 7;
  t->stats_interval = 1;
  std::memset(t->cc, 0xFF, sizeof t->cc);
  tx_read_monotonic(&t->now);
}

tx_buffer_plan tx_plan_buffer(unsigned int delay_ms, std::uint64_t cap) {
  tx_buffer_plan plan;
  plan.required = static_cast<std::uint64_t>(delay_ms) * cap / 1000;
  const std::uint64_t target = 3 * plan.required / 2;
  for (int bits = 12; bits <= 19; ++bits) {
    if (target < (std::uint64_t{1} << bits)) {
      plan.buff_size = 1 << bits;
      break;
    }
  }
  return plan;
}

namespace {

void make_inactive_but_first(tesseltx *t) {
  if (t->tr == nullptr) {
    return;
  }
  for (transmission *tr = t->tr->next; tr != nullptr; tr = tr->next) {
    tr->active_flag = 0;
  }
}

void allocate_ring(tesseltx *t) {
  const auto slots = static_cast<std::size_t>(t->buff_size);
  auto *ring = static_cast<tun_slice *>(std::calloc(slots, sizeof(tun_slice)));
  if (ring == nullptr) {
    tx_die(t, "Unable to allocate the slice buffer (%d slices, %zu bytes)", t->buff_size,
           slots * sizeof(tun_slice));
  }
  t->buffer.reset(ring);
  // Slot 0 would otherwise claim sequence number 0, which names no slice.
  t->buffer[0].seq = 1;
}

void arm_statistics_timer(tesseltx *t) {
  itimerval it{};
  it.it_value.tv_sec = t->stats_interval;
  it.it_interval.tv_sec = t->stats_interval;
  setitimer(ITIMER_REAL, &it, nullptr);
}

void check_protocol_rules(tesseltx *t) {
  if (t->fec != 0 && t->protocol_version < 7) {
    nk_log(&t->nk, LOG_ERR, "Unable to use FEC on proto v%d. Required proto >= v7", t->protocol_version);
    t->fec = 0;
  }
  if (t->aes && t->protocol_version < 7) {
    nk_log(&t->nk, LOG_ERR, "Unable to use Encryption on proto v%d. Required proto >= v7",
           t->protocol_version);
    t->aes.reset();
  }
}

// Asked-for encryption that cannot start must not leave the stream in clear, nor a tunnel that
// never sends a slice: the program stops, after the reason has been logged.
void start_encryption(tesseltx *t) {
  if (t->aes && !aes_init_encryption(t->aes.get(), tun_aes_condition)) {
    tx_die(t, "Encryption could not be started. Exiting!");
  }
}

// rrdcached series live under the syslog prefix; without it the update lines would name files
// at the server's root, so reporting without -l is refused up front.
void check_rrd_prefix(tesseltx *t) {
  if ((t->rrd.port != 0 || t->rrd2.port != 0) && !t->syslog_prefix) {
    tx_die(t, "Statistics servers (-r, -c) need the series prefix given with -l");
  }
}

// Without -e an output's window still opens once a second, so it carries one stream packet per
// second: far too little for a stream. That is kept (it is how the window works) but said.
void warn_uncapped_outputs(tesseltx *t) {
  for (transmission *tr = t->tr; tr != nullptr; tr = tr->next) {
    if (tr->bw.max == 0) {
      nk_log(&t->nk, LOG_WARNING,
             "[%d] No bandwidth given (-e before -d): this output sends one stream packet per second",
             tr->id);
    }
  }
}

} // namespace

void tx_startup(tesseltx *t, int input_rcvbuf) {
  _t = t;
  check_rrd_prefix(t);

  t->info_packet = tun_prepare_info_packet(&t->info, t->protocol_version);
  if (t->tr == nullptr) {
    tx_die(t, "No output given. At least one -d <ip>:<port> is needed!");
  }
  const tx_buffer_plan plan = tx_plan_buffer(t->delay, t->tr->bw.max);
  if (t->flags & TX_FLAG_BACKUP) {
    make_inactive_but_first(t);
  }
  t->active_tr = t->tr;
  if (plan.buff_size == 0) {
    tx_die(t,
           "Invalid buffer size (should be between 8 and 20 bits). Decrease max bandtwidth or tunnel delay!");
  }
  t->buff_size = plan.buff_size;
  nk_log(&t->nk, LOG_INFO, "Initialising buffer. %lld slices required, %d allocated. %dMB used.",
         static_cast<long long>(plan.required), t->buff_size,
         static_cast<int>((static_cast<std::uint64_t>(t->buff_size) * sizeof(tun_slice)) >> 20));
  allocate_ring(t);

  tx_install_signal_handlers();
  arm_statistics_timer(t);

  if (t->socket <= 0) {
    tx_die(t, "Input socket is not ready!");
  }
  if (t->socket >= FD_SETSIZE) {
    tx_die(t, "Input socket descriptor %d is beyond what select() can watch", t->socket);
  }
  if (setsockopt(t->socket, SOL_SOCKET, SO_RCVBUF, &input_rcvbuf, sizeof input_rcvbuf) < 0) {
    tx_die(t, "Setsockopt SO_RCVBUF: %s", std::strerror(errno));
  }
  if (t->protocol_version == 5) {
    make_inactive_but_first(t);
  }
  check_protocol_rules(t);
  start_encryption(t);

  nk_log(&t->nk, LOG_INFO, "Tessel-TX version %s starting. Proto v%d.", nk_version(), t->protocol_version);
  tr_init_buffer(t->tr);
  warn_uncapped_outputs(t);

  if (t->rrd.port != 0) {
    tun_rrd_start(t, &t->rrd, t->syslog_prefix->c_str());
  }
  if (t->rrd2.port != 0) {
    char prefix[sizeof t->rrd2.prefix];
    if (t->machine_prefix) {
      std::snprintf(prefix, sizeof prefix, "%s/%s", t->machine_prefix->c_str(), t->syslog_prefix->c_str());
    } else {
      std::snprintf(prefix, sizeof prefix, "%s", t->syslog_prefix->c_str());
    }
    tun_rrd_start(t, &t->rrd2, prefix);
  }
}
