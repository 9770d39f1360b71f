// A transmitter record set up in-process as start-up would leave it, without the process-wide
// parts (signal handlers, interval timer), so that tests can drive passes, time and sockets.
#pragma once

#include <arpa/inet.h>
#include <cstdlib>
#include <deque>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "loopback.h"
#include "options.h"
#include "send.h"
#include "startup.h"
#include "tesseltx.h"

inline std::vector<char *> argv_of(std::vector<std::string> &args) {
  std::vector<char *> v;
  for (auto &a : args) {
    v.push_back(a.data());
  }
  v.push_back(nullptr);
  return v;
}

// Parses a command line into a fresh record; the result is checked by the caller.
inline std::unique_ptr<tesseltx> parsed(std::vector<std::string> args, tx_parse_result *res = nullptr) {
  auto t = std::make_unique<tesseltx>();
  tx_defaults(t.get());
  args.insert(args.begin(), "tesseltx");
  auto argv = argv_of(args);
  int rcvbuf = 0;
  tx_parse_result r = tx_parse_options(t.get(), static_cast<int>(args.size()), argv.data(), &rcvbuf);
  if (res) {
    *res = r;
  }
  return t;
}

// Ring, resend tables and roles as start-up gives them.
inline void ready_ring(tesseltx *t, int slots = 4096) {
  t->buff_size = slots;
  t->buffer.reset(static_cast<tun_slice *>(std::calloc(static_cast<size_t>(slots), sizeof(tun_slice))));
  t->buffer[0].seq = 1;
  t->active_tr = t->tr;
  tr_init_buffer(t->tr);
  t->info_packet = tun_prepare_info_packet(&t->info, t->protocol_version);
  _t = t;
}

// A loopback UDP socket with a known port, standing for a receiver or the input's source.
struct udp_end {
  int fd = -1;
  int port = 0;
  udp_end() {
    fd = loopback_socket(SOCK_DGRAM, &port);
    timeval tv{0, 300000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    // A pass may send a whole backlog at once (the edges send in batches): room for it, so the
    // test's own socket never drops what the transmitter sent. Root may go past rmem_max.
    int room = 8 << 20;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room) != 0)
      setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
  }
  ~udp_end() { close(fd); }
  std::string addr() const { return "127.0.0.1:" + std::to_string(port); }
  void send_to(int dest_port, const void *data, size_t len) const {
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sin.sin_port = htons(static_cast<uint16_t>(dest_port));
    sendto(fd, data, len, 0, reinterpret_cast<sockaddr *>(&sin), sizeof sin);
  }
  // One datagram, or an empty vector after the time-out.
  std::vector<uint8_t> recv_one(sockaddr_in *from = nullptr) const {
    std::vector<uint8_t> buf(4096);
    sockaddr_in src{};
    socklen_t len = sizeof src;
    ssize_t n = recvfrom(fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr *>(&src), &len);
    buf.resize(n > 0 ? static_cast<size_t>(n) : 0);
    if (from) {
      *from = src;
    }
    return buf;
  }
};

// The engine's packets as a test sees them: tr_send hands each one here instead of to a socket.
struct sent_capture {
  std::deque<std::vector<uint8_t>> got;
  std::vector<sockaddr_in> to;
  tx_send_fn fn() { return tx_send_fn{this, take}; }
  static void take(void *ctx, transmission *, const tx_datagram &d, const sockaddr_in &dest) {
    auto *c = static_cast<sent_capture *>(ctx);
    c->got.push_back(d.bytes());
    c->to.push_back(dest);
  }
  // The oldest packet not yet looked at, or an empty vector.
  std::vector<uint8_t> next() {
    if (got.empty()) {
      return {};
    }
    std::vector<uint8_t> p = std::move(got.front());
    got.pop_front();
    return p;
  }
};
