#include "net.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

#include "input.h"
#include "liveness.h"
#include "nodekit.h"
#include "receive.h"
#include "stop.h"
#include "tesseltx.h"

namespace {

// select() cannot watch a descriptor at or above FD_SETSIZE; such a socket would be written
// past the end of the descriptor sets, so it is refused like a failed socket().
int open_udp_socket() {
  int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (fd >= FD_SETSIZE) {
    close(fd);
    errno = EMFILE;
    return -1;
  }
  return fd;
}

void add_fd(int fd, fd_set *set, int *max_fd) {
  FD_SET(fd, set);
  if (fd + 1 > *max_fd) {
    *max_fd = fd + 1;
  }
}

void send_datagram(void * /*ctx*/, transmission *tr, std::span<const std::uint8_t> datagram,
                   const sockaddr_in &to) {
  tesseltx *t = tr->t;
  const ssize_t sent = sendto(tr->sock, datagram.data(), datagram.size(), 0,
                              reinterpret_cast<const sockaddr *>(&to), sizeof to);
  if (sent < 0 || static_cast<std::size_t>(sent) != datagram.size()) {
    const int err = errno;
    std::fputs("sendto!!!\n", stdout);
    t->stat.sendto_err++;
    nk_log(&t->nk, LOG_ERR, "[%u] tr_nex_tx(%d, %x, %d, 0, %x, %d)[%x %x %x]: %d: %s \n",
           static_cast<unsigned>(tr->id), tr->sock,
           static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(tr->packet.raw)), 1368,
           static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(&tr->sin)), 16,
           static_cast<unsigned>(to.sin_family), static_cast<unsigned>(to.sin_addr.s_addr),
           static_cast<unsigned>(to.sin_port), err, std::strerror(err));
  }
}

// How long the datagram waited in the kernel, in µs on the wall clock, from its SO_TIMESTAMP.
std::optional<std::int64_t> kernel_wait_us(tesseltx *t) {
  std::optional<std::int64_t> wait;
  for (cmsghdr *cm = CMSG_FIRSTHDR(&t->datagram); cm != nullptr; cm = CMSG_NXTHDR(&t->datagram, cm)) {
    if (cm->cmsg_level != SOL_SOCKET || cm->cmsg_type != SO_TIMESTAMP) {
      continue;
    }
    timeval kernel{};
    std::memcpy(&kernel, CMSG_DATA(cm), sizeof kernel);
    wait = (static_cast<std::int64_t>(t->now_tv.tv_sec) - kernel.tv_sec) * 1000000 +
           (static_cast<std::int64_t>(t->now_tv.tv_usec) - kernel.tv_usec);
  }
  return wait;
}

} // namespace

const tx_send_fn tr_sendto{nullptr, send_datagram};

transmission *tr_create_from_optarg(tesseltx *t, const char *arg) {
  sockaddr_in sin{};
  std::uint16_t port_n = 0;
  if (!nk_parse_ip_and_port(&t->nk, arg, &port_n, &sin.sin_addr, 1, nullptr)) {
    nk_log(&t->nk, LOG_ERR, "Unable to parse transmission address in '%s'\n", arg);
    return nullptr;
  }
  sin.sin_port = port_n;
  const int sock = open_udp_socket();
  if (sock < 0) {
    nk_log(&t->nk, LOG_ERR, "Unable to create socket for output '%s': %s", arg, std::strerror(errno));
    return nullptr;
  }
  transmission *tr = tr_new(t, sin, sock);
  nk_log(&t->nk, LOG_NOTICE, "[%d] Succesfully created output: '%s'\n", tr->id, arg);
  return tr;
}

void tr_resocket(transmission *tr) {
  if (tr->sock >= 0) {
    close(tr->sock);
  }
  tr->sock = open_udp_socket();
  if (tr->sock < 0) {
    // Without a socket the transmission is skipped by the loop until the next re-creation.
    nk_log(&tr->t->nk, LOG_ERR, "[%d] Unable to recreate socket: %s", tr->id, std::strerror(errno));
  }
}

void tun_net_rx(tesseltx *t) {
  tun_slice *slot = tx_input_slot(t);
  t->iovec.iov_base = slot->udp_data;
  t->iovec.iov_len = sizeof slot->udp_data;
  t->datagram.msg_name = nullptr;
  t->datagram.msg_namelen = 0;
  t->datagram.msg_iov = &t->iovec;
  t->datagram.msg_iovlen = 1;
  t->datagram.msg_control = t->cmsg;
  t->datagram.msg_controllen = sizeof t->cmsg;
  t->datagram.msg_flags = 0;
  const ssize_t len = recvmsg(t->socket, &t->datagram, 0);
  if (len < 1) {
    return;
  }
  if (!tx_input(t, slot, static_cast<std::size_t>(len), kernel_wait_us(t))) {
    tx_exit(t);
  }
}

void tr_net_rx(transmission *tr) {
  tesseltx *t = tr->t;
  nk_t_start(&t->nk);
  const ssize_t n = recv(tr->sock, tr->packet.raw, sizeof tr->packet.raw, 0);
  if (n >= 0) {
    tr_receive(tr, static_cast<std::size_t>(n));
  }
  nk_t_end(&t->nk, &t->stat.t_net_rx);
}

void tr_net_tx(transmission *tr) {
  tesseltx *t = tr->t;
  nk_t_start(&t->nk);
  tr_send(tr, tr_sendto);
  nk_t_end(&t->nk, &t->stat.t_net_tx);
}

void tr_fdset(transmission *tr, int *max_fd, fd_set *rfds, fd_set *wfds) {
  if (tr == nullptr) {
    return;
  }
  tesseltx *t = tr->t;
  nk_t_start(&t->nk);
  if (tun_switch_backup(t) == tun_backup_action::resocket) {
    tr_resocket(t->active_tr);
  }
  if (t->stopping) {
    tx_exit(t);
  }
  for (; tr != nullptr; tr = tr->next) {
    if (tr->sock < 0) {
      continue;
    }
    add_fd(tr->sock, rfds, max_fd);
    if (tr_plan(tr)) {
      add_fd(tr->sock, wfds, max_fd);
    }
  }
  nk_t_end(&t->nk, &t->stat.t_fdset);
}

void tr_fdsel(transmission *tr, fd_set *rfds, fd_set *wfds) {
  if (tr == nullptr) {
    return;
  }
  tesseltx *t = tr->t;
  nk_t_start(&t->nk);
  for (; tr != nullptr; tr = tr->next) {
    if (tr->sock >= 0 && FD_ISSET(tr->sock, rfds)) {
      tr_net_rx(tr);
    }
    if (tr->sock >= 0 && FD_ISSET(tr->sock, wfds)) {
      tr_net_tx(tr);
    }
  }
  nk_t_end(&t->nk, &t->stat.t_fdsel);
}
