// The receiver's edge: the tunnel sockets (one per port of the range) and the play-out sink
// (UDP datagrams, a file or standard output). Descriptors are owned by rx_fd.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <netinet/in.h>
#include <span>
#include <string>
#include <sys/socket.h>
#include <sys/uio.h>
#include <vector>

#include "nk_context.h"
#include "rx_batch.h"
#include "udp_segment.h"

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
bool rx_open_tunnel_sockets(NKCx *nk, in_addr ip, std::uint16_t port, unsigned count,
                            std::vector<rx_fd> *out);

// Reads what `fd` holds, up to the pass's batch of reads, into `port`'s buffers (without
// waiting) and returns the datagrams they hold (rx_batch_split). Fewer reads than a batch
// (`reads[port]`) means the queue is drained. A pending error
// (a refusal of something sent earlier) is taken and the read tried once more; 0 when nothing
// was read.
std::size_t rx_batch_read(rx_batch_pass *pass, std::size_t port, int fd);

// Datagrams and bytes a sink gathers before they leave in one system call.
inline constexpr std::size_t rx_sink_batch = 32;
inline constexpr std::size_t rx_sink_batch_bytes = 64 * 1024;

// Where played slices go. Writes gather (each UDP write stays one datagram) and leave at
// rx_sink_flush or when the batch is full. Write failures are counted; a file that fails is
// logged once.
struct rx_sink {
  rx_fd fd;
  bool is_udp = false;
  sockaddr_in to{};
  std::uint64_t write_errors = 0;
  NKCx *nk = nullptr;
  std::unique_ptr<std::uint8_t[]> pending; // rx_sink_batch_bytes, allocated at open
  std::size_t used = 0;
  std::size_t datagrams = 0;
  std::array<mmsghdr, rx_sink_batch> msgs{};
  std::array<iovec, rx_sink_batch> iov{};
  // Equal datagrams in a row leave as one segmented send (UDP GSO) where the kernel has it;
  // off for good once it refuses.
  bool segment = false;
  std::array<mmsghdr, rx_sink_batch> runs{};
  std::array<std::size_t, rx_sink_batch> run_len{};
  std::array<udp_segment_control, rx_sink_batch> run_cmsg{};
  std::array<iovec, rx_sink_batch> run_vec{};
};

bool rx_sink_open_udp(NKCx *nk, rx_sink *s, const sockaddr_in &to);
// "-" is standard output.
bool rx_sink_open_file(NKCx *nk, rx_sink *s, const std::string &path);
void rx_sink_write(rx_sink *s, std::span<const std::uint8_t> bytes);
// Sends or writes what has gathered.
void rx_sink_flush(rx_sink *s);
