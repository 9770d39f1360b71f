#include "loop.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <sys/prctl.h>
#include <sys/select.h>
#include <sys/time.h>

#include "clock.h"
#include "liveness.h"
#include "net.h"
#include "nk_timing.h"
#include "nodekit.h"
#include "snapshot.h"
#include "stop.h"
#include "tesseltx.h"
#include "tun_pace.h"

namespace {
volatile std::sig_atomic_t alarm_pending = 0;
volatile std::sig_atomic_t term_signal = 0;

void act_on_signals(tesseltx *t) {
  if (int sig = term_signal; sig != 0) {
    tx_stop(t, 0, "Received %s (%d) signal. Exiting.\n", strsignal(sig), sig);
    tx_exit(t);
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
// Whether the last pass saw data flow; the next one then ticks instead of waiting.
bool flowing = false;
tun_pace input_pace{std::int64_t{tx_tick_us} * 1000, false, 0};

// Ticks keep their period: each falls due a tick after the one before it did, however long
// the passes in between took (or how often the encryption worker woke the loop early), so
// that a datagram waits at most about a tick for its pass. A loop that fell a whole tick
// behind starts afresh from now instead of catching up.
bool tick_due_set = false;
std::int64_t tick_due_ns = 0;
constexpr std::int64_t tick_ns = std::int64_t{tx_tick_us} * 1000;

std::int64_t ns_of(const timespec64 &t) {
  return t.tv_sec * 1000000000 + t.tv_nsec;
}

timeval tick_timeout(const timespec64 &now) {
  const std::int64_t now_ns = ns_of(now);
  if (!tick_due_set || tick_due_ns <= now_ns - tick_ns || tick_due_ns > now_ns + tick_ns) {
    tick_due_ns = now_ns + tick_ns;
    tick_due_set = true;
  }
  const std::int64_t left_ns = tick_due_ns - now_ns;
  return {0, static_cast<suseconds_t>(left_ns <= 0 ? 0 : (left_ns + 999) / 1000)};
}

// After the wait: a tick reached makes the next one due.
void tick_reached(const timespec64 &now) {
  if (tick_due_set && ns_of(now) >= tick_due_ns) {
    tick_due_ns += tick_ns;
  }
}

// What the encryption worker had marked when the last send phase began.
std::uint32_t encrypted_seen = 0;

// Input datagrams one pass takes at most, so that outputs and requests get their turn.
constexpr std::size_t input_pass_cap = 4 * tx_pass_cap;

std::uint32_t sample_rng = 0x9E3779B9u;
unsigned pass_in_run = 0;
unsigned sampled_pass = 0;

// Picks whether this pass reads the CPU clock: one pass per run at a place drawn afresh for
// each run, so that no periodic pattern of the stream lines up with the sample.
void choose_timed_pass(NKCx *nk) {
  if (pass_in_run == 0) {
    sample_rng ^= sample_rng << 13;
    sample_rng ^= sample_rng >> 17;
    sample_rng ^= sample_rng << 5;
    sampled_pass = sample_rng % tx_timing_sample_every;
  }
  nk_t_sample(nk, pass_in_run == sampled_pass ? tx_timing_sample_every : 0);
  pass_in_run = (pass_in_run + 1) % tx_timing_sample_every;
}

// Drains the input socket; returns how many datagrams it read.
std::size_t drain_input(tesseltx *t, bool known_readable) {
  std::size_t total = 0;
  bool filled = true;
  while (filled && total < input_pass_cap) {
    total += tun_net_rx(t, known_readable, &filled);
    known_readable = false;
  }
  return total;
}
} // namespace

void get_stats(int /*sig*/) {
  alarm_pending = 1;
}

void term(int sig) {
  term_signal = sig;
}

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
  choose_timed_pass(nk);
  nk_t_start(nk);
  const bool tick = flowing;
  fd_set rfds;
  fd_set wfds;
  // While ticking, the outputs' reads are not watched: the pass drains them after the tick.
  fd_set unwatched;
  FD_ZERO(&rfds);
  FD_ZERO(&wfds);
  FD_ZERO(&unwatched);
  int max_fd = 0;
  tx_read_monotonic(&t->now);
  timeval timeout{0, 100000};
  if (tick) {
    timeout = tick_timeout(t->now);
  } else {
    tick_due_set = false;
    FD_SET(t->socket, &rfds);
    if (t->socket + 1 > max_fd) {
      max_fd = t->socket + 1;
    }
  }
  // The encryption worker's signal ends a wait or a tick as soon as slices are ready to go:
  // a slice published in this pass would otherwise wait a whole tick more.
  const int aes_fd = t->aes ? t->aes->ready_fd : -1;
  const bool watch_aes =
      aes_fd >= 0 && aes_fd < FD_SETSIZE && (!tick || t->aes->mode == aes_mode::worker);
  if (watch_aes) {
    FD_SET(aes_fd, &rfds);
    if (aes_fd + 1 > max_fd) {
      max_fd = aes_fd + 1;
    }
  }
  rrd_fdset(&t->rrd, &rfds, &wfds, nullptr, &max_fd);
  rrd_fdset(&t->rrd2, &rfds, &wfds, nullptr, &max_fd);
  nk_t_end(nk, &t->stat.t_pre_fdset);

  tr_fdset(t->tr, &max_fd, tick ? &unwatched : &rfds, &wfds);

  nk_t_start(nk);
  if (watch_aes) {
    t->aes->loop_waiting.store(true, std::memory_order_release);
    // Slices marked just before the flag was seen set have not been signalled: look once more.
    // (Ticking, the stream is pending anyway; what counts is whether the worker moved on.)
    const bool marked = tick ? t->aes->encrypted_upto.load(std::memory_order_acquire) != encrypted_seen
                             : tx_stream_pending(t);
    if (marked) {
      timeout = {0, 0};
    }
  }
  const int ready = select(max_fd + 1, &rfds, &wfds, nullptr, &timeout);
  const int select_errno = errno;
  if (watch_aes) {
    t->aes->loop_waiting.store(false, std::memory_order_relaxed);
  }
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
  tx_tick(t, clock);
  if (tick) {
    tick_reached(clock);
  }
  gettimeofday(&t->now_tv, nullptr);

  if (watch_aes && FD_ISSET(aes_fd, &rfds)) {
    aes_ready_clear(t->aes.get());
  }
  std::size_t input = 0;
  if (tick || FD_ISSET(t->socket, &rfds)) {
    input = drain_input(t, !tick);
  }
  rrd_fdsel(&t->rrd, &rfds, &wfds);
  rrd_fdsel(&t->rrd2, &rfds, &wfds);
  nk_t_end(nk, &t->stat.t_pre_fdsel);

  if (t->aes) {
    encrypted_seen = t->aes->encrypted_upto.load(std::memory_order_acquire);
  }
  const bool more = tr_fdsel(t->tr, &rfds, &wfds, tick);
  t->stat.select++;
  flowing = tun_pace_ticks_next(&input_pace, tick, input, ns_of(clock)) || more || tx_stream_pending(t);
}

void tx_run(tesseltx *t) {
  // A tick's wake-up may come this much late (the default allows 50 us, a twentieth of it).
  prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
  for (;;) {
    tx_loop_pass(t);
  }
}
