// One non-blocking rrdcached connection driven from the owner's select() loop. The library
// knows nothing of what it sends: the owner's `report` callback writes the lines, one per pass
// in which the socket is writable. The client connects, backs off for `dis_sec` seconds after a
// failure and retries for ever; the server's answers are read and dropped.
#pragma once

#include <netinet/in.h>
#include <optional>
#include <string>
#include <sys/select.h>
#include <sys/time.h>

#include "int64_rrd.h"

enum rrd_conn_state : int {
  RRD_UNINITIALISED = 0,
  RRD_RECONNECT = 1,
  RRD_CONNECTING = 3,
  RRD_CONNECTED = 4,
  RRD_DISABLED = 5,
  RRD_OFF = 6,
};

inline constexpr int rrd_default_port = 668;
inline constexpr int rrd_default_dis_sec = 10;

struct rrdc;
// printf-style, so that every message format is checked against its arguments.
typedef void rrd_log_sig(void *box, int prio, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
using rrd_log_fn = rrd_log_sig *;
using rrd_event_fn = void (*)(rrdc *c);
using rrd_read_fn = void (*)(rrdc *c, int bytes);

struct rrdc {
  sockaddr_in sin{};
  std::optional<std::string> ip;
  int port = 0;
  int conn_state = RRD_UNINITIALISED;
  timeval now{};      // report time (wall clock); the owner stores each snapshot's seconds here
  timeval disabled{}; // when the back-off began, on the monotonic clock
  int dis_sec = 0;
  char rbuff[2048] = {};
  char prefix[1024] = {};
  int sock = 0; // 0: none
  int line_no = 0;
  void *box = nullptr;
  rrd_log_fn log = nullptr;
  rrd_event_fn report = nullptr;
  rrd_read_fn read = nullptr;
  rrd_event_fn connected = nullptr;
  rrd_event_fn disconnected = nullptr;
  rrd_event_fn connfailed = nullptr;
  rrd_event_fn connecting = nullptr;
};
using RRDc = rrdc;

// "ip[:port]"; the port defaults to 668.
void rrd_get_ip_and_port(rrdc *c, const char *arg);

// The owner fills box, log, report, the optional callbacks and prefix first.
void rrd_init(rrdc *c);

// Before select(): adds the socket as the state asks and raises *max_fd to at least the socket
// plus one (the loop's convention). The exception set is not touched.
void rrd_fdset(rrdc *c, fd_set *rfds, fd_set *wfds, fd_set *efds, int *max_fd);

// After a select() that did not fail: completes connects, drops answers, sends one line.
void rrd_fdsel(rrdc *c, fd_set *rfds, fd_set *wfds);

void rrd_tick(rrdc *c);

// One write of the bytes while connected, nothing otherwise; always 0. A line the socket cannot
// take is lost. A line it takes only in part would run into the next one on the server, so the
// connection is then dropped and made anew (the server discards the unfinished line).
int rrd_write(rrdc *c, const void *bytes, int len);

// One read while connected, else 0.
int rrd_read(rrdc *c, void *buffer, int size);

void rrd_reconnect(rrdc *c);
void rrd_turn_off(rrdc *c);
void rrd_turn_on(rrdc *c);
