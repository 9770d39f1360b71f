// The receiver's edge: the tunnel sockets (one per port of the range) and the play-out sink
// (UDP datagrams, a file or standard output). Descriptors are owned by rx_fd.
#pragma once

#include <cstdint>
#include <netinet/in.h>
#include <span>
#include <string>
#include <vector>

#include "nk_context.h"

class rx_fd {
public:
  rx_fd() = default;
  explicit rx_fd(int fd) : fd_(fd) {}
  rx_fd(const rx_fd &) = delete;
  rx_fd &operator=(const rx_fd &) = delete;
  rx_fd(rx_fd &&o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  rx_fd &operator=(rx_fd &&o) noexcept;
  ~rx_fd();
  int get() const { return fd_; }

private:
  int fd_ = -1;
};

// Binds `count` non-blocking UDP sockets to ip:port .. ip:port+count-1. False with the reason
// in the context's last error.
bool rx_open_tunnel_sockets(NKCx *nk, in_addr ip, std::uint16_t port, unsigned count, std::vector<rx_fd> *out);

// Where played slices go. Write failures are counted; a file that fails is logged once.
struct rx_sink {
  rx_fd fd;
  bool is_udp = false;
  sockaddr_in to{};
  std::uint64_t write_errors = 0;
  NKCx *nk = nullptr;
};

bool rx_sink_open_udp(NKCx *nk, rx_sink *s, const sockaddr_in &to);
// "-" is standard output.
bool rx_sink_open_file(NKCx *nk, rx_sink *s, const std::string &path);
void rx_sink_write(rx_sink *s, std::span<const std::uint8_t> bytes);
