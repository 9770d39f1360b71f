#include "rx_io.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <unistd.h>

rx_fd &rx_fd::operator=(rx_fd &&o) noexcept {
  if (this != &o) {
    if (fd_ >= 0) {
      close(fd_);
    }
    fd_ = o.fd_;
    o.fd_ = -1;
  }
  return *this;
}

rx_fd::~rx_fd() {
  if (fd_ >= 0) {
    close(fd_);
  }
}

bool rx_open_tunnel_sockets(NKCx *nk, in_addr ip, std::uint16_t port, unsigned count,
                            std::vector<rx_fd> *out) {
  out->clear();
  for (unsigned i = 0; i < count; ++i) {
    rx_fd fd(socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP));
    if (fd.get() < 0) {
      nk_error(nk, "socket(): %s", std::strerror(errno));
      return false;
    }
    // A large queue rides out bursts while the loop is busy playing out.
    int rcvbuf = 4 * 1024 * 1024;
    setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    // A run of datagrams sent segmented arrives as one read (cut apart by rx_batch_split)
    // instead of being cut apart by the kernel. A kernel without it delivers them one by one.
    int gro = 1;
    setsockopt(fd.get(), SOL_UDP, UDP_GRO, &gro, sizeof gro);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr = ip;
    sin.sin_port = htons(static_cast<std::uint16_t>(port + i));
    if (bind(fd.get(), reinterpret_cast<const sockaddr *>(&sin), sizeof sin) < 0) {
      nk_error(nk, "bind(port %u): %s", static_cast<unsigned>(port + i), std::strerror(errno));
      return false;
    }
    if (fd.get() >= FD_SETSIZE) {
      nk_error(nk, "descriptor %d beyond select()'s reach", fd.get());
      return false;
    }
    out->push_back(std::move(fd));
  }
  return true;
}

std::size_t rx_batch_read(rx_batch_pass *pass, std::size_t port, int fd) {
  pass->count[port] = 0;
  pass->reads[port] = 0;
  for (int attempt = 0; attempt < 2; ++attempt) {
    mmsghdr *msgs = rx_batch_prepare(pass, port);
    const int n = recvmmsg(fd, msgs, static_cast<unsigned>(pass->per_port), MSG_DONTWAIT, nullptr);
    if (n > 0) {
      return rx_batch_split(pass, port, static_cast<std::size_t>(n));
    }
    if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK) {
      return 0;
    }
    // Anything else (an ICMP refusal of an earlier send, a signal) has been taken: try again.
  }
  return 0;
}

bool rx_sink_open_udp(NKCx *nk, rx_sink *s, const sockaddr_in &to) {
  s->nk = nk;
  s->fd = rx_fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP));
  if (s->fd.get() < 0) {
    nk_error(nk, "socket(): %s", std::strerror(errno));
    return false;
  }
  int sndbuf = 4 * 1024 * 1024;
  setsockopt(s->fd.get(), SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
  s->is_udp = true;
  s->to = to;
  s->segment = udp_can_segment(s->fd.get());
  s->pending = std::make_unique<std::uint8_t[]>(rx_sink_batch_bytes);
  return true;
}

bool rx_sink_open_file(NKCx *nk, rx_sink *s, const std::string &path) {
  s->nk = nk;
  if (path == "-") {
    s->fd = rx_fd(dup(STDOUT_FILENO));
  } else {
    s->fd = rx_fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  }
  if (s->fd.get() < 0) {
    nk_error(nk, "%s: %s", path.c_str(), std::strerror(errno));
    return false;
  }
  s->pending = std::make_unique<std::uint8_t[]>(rx_sink_batch_bytes);
  return true;
}

namespace {

void write_file(rx_sink *s, const std::uint8_t *p, std::size_t left) {
  while (left > 0) {
    const ssize_t n = write(s->fd.get(), p, left);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      if (s->write_errors++ == 0) {
        nk_log(s->nk, LOG_ERR, "Output write failed: %s", n < 0 ? std::strerror(errno) : "no progress");
      }
      return;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

void send_now(rx_sink *s, std::span<const std::uint8_t> bytes) {
  const ssize_t n = sendto(s->fd.get(), bytes.data(), bytes.size(), 0,
                           reinterpret_cast<const sockaddr *>(&s->to), sizeof s->to);
  if (n != static_cast<ssize_t>(bytes.size())) {
    ++s->write_errors;
  }
}

} // namespace

namespace {

// One message per run of equal datagrams from `first` on (the last of a run may be shorter);
// they lie back to back in the pending buffer, so a run is one vector.
std::size_t plan_runs(rx_sink *s, std::size_t first, bool segment) {
  std::size_t n = 0;
  for (std::size_t i = first; i < s->datagrams; ++n) {
    const std::size_t size = s->iov[i].iov_len;
    std::size_t end = i + 1;
    std::size_t total = size;
    if (segment && size > 0) {
      while (end < s->datagrams && end - i < 64 && s->iov[end].iov_len <= size && s->iov[end].iov_len > 0 &&
             total + s->iov[end].iov_len <= 65507) {
        total += s->iov[end++].iov_len;
        if (s->iov[end - 1].iov_len < size) {
          break;
        }
      }
    }
    s->runs[n] = s->msgs[i];
    s->run_len[n] = end - i;
    if (end - i > 1) {
      msghdr &m = s->runs[n].msg_hdr;
      s->run_vec[n] = {s->iov[i].iov_base, total};
      m.msg_iov = &s->run_vec[n];
      udp_set_segment(&m, &s->run_cmsg[n], size);
    }
    i = end;
  }
  return n;
}

} // namespace

void rx_sink_flush(rx_sink *s) {
  if (!s->is_udp) {
    write_file(s, s->pending.get(), s->used);
    s->used = 0;
    return;
  }
  std::size_t first = 0;
  bool singly = false;
  while (first < s->datagrams) {
    const std::size_t runs = plan_runs(s, first, s->segment && !singly);
    const int n = sendmmsg(s->fd.get(), s->runs.data(), static_cast<unsigned>(runs), 0);
    if (n > 0) {
      for (int r = 0; r < n; ++r) {
        first += s->run_len[static_cast<std::size_t>(r)];
      }
    } else if (errno == EINTR) {
      continue;
    } else if (s->run_len[0] > 1) {
      // Refused as a run: each datagram again on its own, so that only a bad one is lost.
      if (udp_segmenting_refused(errno)) {
        s->segment = false;
      }
      singly = true;
    } else {
      ++s->write_errors; // the first of the rest is refused: count it and go on
      ++first;
    }
  }
  s->datagrams = 0;
  s->used = 0;
}

void rx_sink_write(rx_sink *s, std::span<const std::uint8_t> bytes) {
  if (!s->pending) {
    // Not opened through rx_sink_open_*: nothing gathers.
    if (s->is_udp) {
      send_now(s, bytes);
    } else {
      write_file(s, bytes.data(), bytes.size());
    }
    return;
  }
  if (s->used + bytes.size() > rx_sink_batch_bytes || (s->is_udp && s->datagrams == rx_sink_batch)) {
    rx_sink_flush(s);
  }
  if (bytes.size() > rx_sink_batch_bytes) {
    if (s->is_udp) {
      send_now(s, bytes);
    } else {
      write_file(s, bytes.data(), bytes.size());
    }
    return;
  }
  std::uint8_t *at = s->pending.get() + s->used;
  std::memcpy(at, bytes.data(), bytes.size());
  s->used += bytes.size();
  if (s->is_udp) {
    const std::size_t i = s->datagrams++;
    s->iov[i] = {at, bytes.size()};
    s->msgs[i].msg_hdr = {};
    s->msgs[i].msg_hdr.msg_name = &s->to;
    s->msgs[i].msg_hdr.msg_namelen = sizeof s->to;
    s->msgs[i].msg_hdr.msg_iov = &s->iov[i];
    s->msgs[i].msg_hdr.msg_iovlen = 1;
  }
}
