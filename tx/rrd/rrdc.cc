#include "rrdc.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

void rrd_get_ip_and_port(rrdc *c, const char *arg) {
  std::string text(arg);
  const auto colon = text.find(':');
  if (colon == std::string::npos) {
    c->port = rrd_default_port;
  } else {
    c->port = std::atoi(text.c_str() + colon + 1);
    text.resize(colon);
  }
  c->ip = std::move(text);
}

namespace {

const char *ip_of(const rrdc *c) {
  return c->ip ? c->ip->c_str() : "(null)";
}

// The back-off runs on the monotonic clock, so that a wall clock set back (a time sync on a
// device that booted in 1970, say) cannot hold the client off for hours.
timeval monotonic_now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  timeval tv{};
  tv.tv_sec = ts.tv_sec;
  tv.tv_usec = static_cast<suseconds_t>(ts.tv_nsec / 1000);
  return tv;
}

void disable(rrdc *c) {
  c->conn_state = RRD_DISABLED;
  c->disabled = monotonic_now();
}

void close_socket(rrdc *c) {
  if (c->sock == 0) {
    return;
  }
  if (c->sock > 0) {
    close(c->sock);
  }
  c->sock = 0;
  c->log(c->box, LOG_NOTICE, "Rrd (%s:%d): Connection closed.\n", ip_of(c), c->port);
  if (c->disconnected != nullptr) {
    c->disconnected(c);
  }
}

void set_connected(rrdc *c) {
  c->conn_state = RRD_CONNECTED;
  c->log(c->box, LOG_NOTICE, "Rrd (%s:%d): Connected successfully\n", ip_of(c), c->port);
  if (c->connected != nullptr) {
    c->connected(c);
  }
}

void add_fd(int fd, fd_set *set, int *max_fd) {
  FD_SET(fd, set);
  if (fd + 1 > *max_fd) {
    *max_fd = fd + 1;
  }
}

void attempt(rrdc *c) {
  if (c->connecting != nullptr) {
    c->connecting(c);
  }
  if (!c->ip) {
    return;
  }
  if (inet_aton(c->ip->c_str(), &c->sin.sin_addr) == 0) {
    // inet_aton does not set errno; EINVAL says what went wrong.
    const int err = EINVAL;
    c->log(c->box, LOG_ERR, "Rrd (%s:%d): Wrong address: %s (%d)", ip_of(c), c->port, std::strerror(err),
           err);
    disable(c);
    return;
  }
  close_socket(c);
  c->sock = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (c->sock < 0) {
    std::perror("Can't create TCP socket to connect to RRD server");
  } else if (c->sock >= FD_SETSIZE) {
    // select() cannot watch it; setting it in an fd_set would write past the set.
    close(c->sock);
    c->sock = -1;
    errno = EMFILE;
  }
  const int flags = fcntl(c->sock, F_GETFL);
  if (flags < 0) {
    (void)std::fprintf(stderr, "RRD Error fcntl(..., F_GETFL): %s (%d)\n", std::strerror(errno), errno);
  }
  if (fcntl(c->sock, F_SETFL, (flags < 0 ? 0 : flags) | O_NONBLOCK) < 0) {
    (void)std::fprintf(stderr, "RRD Error fcntl(..., F_SETFL): %s (%d)\n", std::strerror(errno), errno);
  }
  if (connect(c->sock, reinterpret_cast<const sockaddr *>(&c->sin), sizeof c->sin) == 0) {
    set_connected(c);
    return;
  }
  const int err = errno;
  if (err == EINPROGRESS) {
    c->conn_state = RRD_CONNECTING;
    c->log(c->box, LOG_NOTICE, "Rrd (%s:%d): Connecting...\n", ip_of(c), c->port);
    return;
  }
  c->log(c->box, LOG_NOTICE, "Rrd (%s:%d): Unable to connect: %s (%d). Disabling for %d seconds.\n", ip_of(c),
         c->port, std::strerror(err), err, c->dis_sec);
  disable(c);
  if (c->connfailed != nullptr) {
    c->connfailed(c);
  }
}

} // namespace

void rrd_init(rrdc *c) {
  c->log(c->box, LOG_NOTICE, "Rrd (%s:%d): Initialising.", ip_of(c), c->port);
  c->sock = 0;
  c->conn_state = RRD_RECONNECT;
  gettimeofday(&c->now, nullptr);
  c->dis_sec = rrd_default_dis_sec;
  if (c->ip) {
    c->sin.sin_family = AF_INET;
    if (c->sin.sin_port == 0) {
      c->sin.sin_port = htons(static_cast<std::uint16_t>(c->port));
    }
    rrd_reconnect(c);
  }
}

void rrd_reconnect(rrdc *c) {
  switch (c->conn_state) {
  case RRD_RECONNECT:
    attempt(c);
    break;
  case RRD_DISABLED: {
    // The reading stays local: `now` is the report time and belongs to the owner.
    timeval limit = monotonic_now();
    limit.tv_sec -= c->dis_sec;
    if (limit.tv_sec > c->disabled.tv_sec ||
        (limit.tv_sec == c->disabled.tv_sec && limit.tv_usec > c->disabled.tv_usec)) {
      c->conn_state = RRD_RECONNECT;
    }
    break;
  }
  case RRD_OFF:
    close_socket(c);
    break;
  default:
    break;
  }
}

void rrd_fdset(rrdc *c, fd_set *rfds, fd_set *wfds, fd_set * /*efds*/, int *max_fd) {
  if (c->conn_state == RRD_CONNECTING) {
    if (connect(c->sock, reinterpret_cast<const sockaddr *>(&c->sin), sizeof c->sin) == 0) {
      set_connected(c);
      return;
    }
    const int err = errno;
    if (err == EISCONN) {
      c->log(c->box, LOG_NOTICE, "Rrd (%s:%d): Is connected: %s (%d)\n", ip_of(c), c->port,
             std::strerror(err), err);
      add_fd(c->sock, wfds, max_fd);
    } else if (err != EALREADY && err != EINPROGRESS) {
      c->log(c->box, LOG_NOTICE, "Rrd (%s:%d): Connecting error: %s (%d). Disabling for %d seconds.\n",
             ip_of(c), c->port, std::strerror(err), err, c->dis_sec);
      disable(c);
      if (c->connfailed != nullptr) {
        c->connfailed(c);
      }
    }
    return;
  }
  if (c->conn_state == RRD_CONNECTED) {
    add_fd(c->sock, rfds, max_fd);
    if (c->line_no != 0) {
      add_fd(c->sock, wfds, max_fd);
    }
  }
}

void rrd_fdsel(rrdc *c, fd_set *rfds, fd_set *wfds) {
  if (c->conn_state == RRD_CONNECTING && c->sock > 0 && FD_ISSET(c->sock, wfds)) {
    if (send(c->sock, "\n\n", 2, MSG_NOSIGNAL) < 2) {
      std::perror("writ: ");
      c->log(c->box, LOG_NOTICE, "Rrd (%s:%d): Unable to connect. Disabling for %d seconds.\n", ip_of(c),
             c->port, c->dis_sec);
      disable(c);
    } else {
      c->log(c->box, LOG_NOTICE, "Rrd (%s:%d): Connected.\n", ip_of(c), c->port);
      c->conn_state = RRD_CONNECTED;
    }
  }
  if (c->conn_state == RRD_CONNECTED && c->sock > 0 && FD_ISSET(c->sock, rfds)) {
    errno = 0; // an orderly close leaves errno alone; "Success (0)" then says so
    const int n = rrd_read(c, c->rbuff, sizeof c->rbuff - 1);
    if (n <= 0) {
      const int err = errno;
      c->log(c->box, LOG_NOTICE, "Rrd (%s:%d): Disconnecting: %s (%d).\n", ip_of(c), c->port,
             std::strerror(err), err);
      c->conn_state = RRD_RECONNECT;
      rrd_reconnect(c);
    } else if (c->read != nullptr) {
      c->read(c, n);
    }
  }
  if (c->conn_state == RRD_CONNECTED && c->sock > 0 && FD_ISSET(c->sock, wfds)) {
    rrd_tick(c);
  }
  if (c->conn_state == RRD_DISABLED) {
    rrd_reconnect(c);
  }
  if (c->conn_state == RRD_RECONNECT) {
    rrd_reconnect(c);
  }
}

void rrd_tick(rrdc *c) {
  c->report(c);
}

int rrd_write(rrdc *c, const void *bytes, int len) {
  if (c->conn_state != RRD_CONNECTED || len <= 0) {
    return 0;
  }
  // A peer that has closed its end must not end the process with SIGPIPE, whatever the owner
  // did with that signal.
  const ssize_t n = send(c->sock, bytes, static_cast<size_t>(len), MSG_NOSIGNAL);
  if (n > 0 && n < len) {
    c->log(c->box, LOG_NOTICE, "Rrd (%s:%d): Line cut short (%d of %d bytes). Reconnecting.\n", ip_of(c),
           c->port, static_cast<int>(n), len);
    c->conn_state = RRD_RECONNECT;
  }
  return 0;
}

int rrd_read(rrdc *c, void *buffer, int size) {
  if (c->conn_state != RRD_CONNECTED) {
    return 0;
  }
  return static_cast<int>(::read(c->sock, buffer, static_cast<size_t>(size)));
}

void rrd_turn_off(rrdc *c) {
  c->conn_state = RRD_OFF;
  rrd_reconnect(c);
}

void rrd_turn_on(rrdc *c) {
  c->conn_state = RRD_RECONNECT;
  rrd_reconnect(c);
}
