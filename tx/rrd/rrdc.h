// One non-blocking rrdcached connection driven from the owner's select() loop. The library
// knows nothing of what it sends: the owner's `report` callback writes the lines.
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

struct rrdc;
using rrd_log_fn = void (*)(void *box, int prio, const char *fmt, ...);
using rrd_event_fn = void (*)(rrdc *c);
using rrd_read_fn = void (*)(rrdc *c, int bytes);

struct rrdc {
  sockaddr_in sin{};
  std::optional<std::string> ip;
  int port = 0;
  int conn_state = RRD_UNINITIALISED;
  timeval now{};
  timeval disabled{};
  int dis_sec = 0;
  char rbuff[2048] = {};
  char prefix[1024] = {};
  int sock = 0;
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
