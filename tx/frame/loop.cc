#include "loop.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sys/select.h>
#include <sys/time.h>

#include "input.h"
#include "nodekit.h"
#include "tesseltx.h"
#include "transmission.h"
#include "tunnel.h"

namespace {
volatile std::sig_atomic_t alarm_pending = 0;
volatile std::sig_atomic_t term_signal = 0;

void act_on_signals(tesseltx *t) {
  if (int sig = term_signal; sig != 0) {
    nk_log(&t->nk, LOG_ERR, "Received %s (%d) signal. Exiting.\n", strsignal(sig), sig);
    std::exit(0);
  }
  if (alarm_pending) {
    alarm_pending = 0;
    // The report time is the second of the tick itself: the pass's own reading may be up to a
    // select() time-out old, and two reports stamped with the same second would make the
    // server refuse the second one.
    gettimeofday(&t->now_tv, nullptr);
    tun_stats_snapshot(t);
  }
}
} // namespace

void get_stats(int /*sig*/) { alarm_pending = 1; }

void term(int sig) { term_signal = sig; }

void tx_install_signal_handlers() {
  struct sigaction sa {};
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0; // no SA_RESTART: a signal must end the wait in select()
  sa.sa_handler = get_stats;
  sigaction(SIGALRM, &sa, nullptr);
  sa.sa_handler = term;
  sigaction(SIGTERM, &sa, nullptr);
  // A statistics server that closes its end must not kill the process on the next write.
  sa.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &sa, nullptr);
}

void tx_loop_pass(tesseltx *t) {
  NKCx *nk = &t->nk;
  nk_t_start(nk);
  fd_set rfds;
  fd_set wfds;
  FD_ZERO(&rfds);
  FD_ZERO(&wfds);
  int max_fd = 0;
  timeval timeout{0, 100000};
  FD_SET(t->socket, &rfds);
  if (t->socket + 1 > max_fd) {
    max_fd = t->socket + 1;
  }
  tx_read_monotonic(&t->now);
  rrd_fdset(&t->rrd, &rfds, &wfds, nullptr, &max_fd);
  rrd_fdset(&t->rrd2, &rfds, &wfds, nullptr, &max_fd);
  nk_t_end(nk, &t->stat.t_pre_fdset);

  tr_fdset(t->tr, &max_fd, &rfds, &wfds);

  nk_t_start(nk);
  const int ready = select(max_fd + 1, &rfds, &wfds, nullptr, &timeout);
  const int select_errno = errno;
  nk_t_end(nk, &t->stat.t_select);

  act_on_signals(t);
  if (ready < 0) {
    if (select_errno != EINTR) {
      nk_log(nk, LOG_WARNING, "select(): %d %s\n", select_errno, std::strerror(select_errno));
    }
    return;
  }

  nk_t_start(nk);
  timespec64 clock{};
  tx_read_monotonic(&clock);
  if (timespec64_before(clock, t->now)) {
    nk_log(nk, LOG_ERR, "Monotonic clock reversal %d.%09lu -> %d.%09lu", static_cast<int>(t->now.tv_sec),
           static_cast<unsigned long>(t->now.tv_nsec), static_cast<int>(clock.tv_sec),
           static_cast<unsigned long>(clock.tv_nsec));
  }
  t->now = clock;
  // Every active output is timed from the first pass, not only the one that backup switching
  // watches: otherwise the no-data alert would measure an output that never sent from the
  // clock's origin.
  for (transmission *tr = t->tr; tr != nullptr; tr = tr->next) {
    if (tr->active_flag && tr->fuses.last_transmitted_data_packet.tv_sec == 0) {
      tr->fuses.last_transmitted_data_packet = t->now;
    }
  }
  gettimeofday(&t->now_tv, nullptr);
  tun_alert(t);

  if (FD_ISSET(t->socket, &rfds)) {
    tun_net_rx(t);
  }
  rrd_fdsel(&t->rrd, &rfds, &wfds);
  rrd_fdsel(&t->rrd2, &rfds, &wfds);
  nk_t_end(nk, &t->stat.t_pre_fdsel);

  tr_fdsel(t->tr, &rfds, &wfds);
  t->stat.select++;
}

void tx_run(tesseltx *t) {
  for (;;) {
    tx_loop_pass(t);
  }
}
