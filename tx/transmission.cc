#include "transmission.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

#include "nodekit.h"
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

} // namespace

transmission *tr_create_from_optarg(tesseltx *t, const char *arg) {
  auto tr = std::make_unique<transmission>();
  std::uint16_t port_n = 0;
  if (!nk_parse_ip_and_port(&t->nk, arg, &port_n, &tr->sin.sin_addr, 1, nullptr)) {
    nk_log(&t->nk, LOG_ERR, "Unable to parse transmission address in '%s'\n", arg);
    return nullptr;
  }
  tr->sin.sin_port = port_n;
  tr->port = ntohs(port_n);
  tr->next_port = tr->port;
  tr->port_range_size = static_cast<std::uint32_t>(t->port_range_size);
  tr->sin.sin_family = AF_INET;
  tr->sock = open_udp_socket();
  if (tr->sock < 0) {
    nk_log(&t->nk, LOG_ERR, "Unable to create socket for output '%s': %s", arg, std::strerror(errno));
    return nullptr;
  }
  tr->next_slice = 1;
  tr->first_to_repeat = 1;
  tr->info_request = 1;
  tr->active_flag = 1;
  tr->last_ping = t->now;
  tr->t = t;

  transmission *raw = tr.release(); // owned by the list for the life of the process
  if (t->tr == nullptr) {
    t->tr = raw;
  } else {
    transmission *tail = t->tr;
    while (tail->next != nullptr) {
      tail = tail->next;
    }
    tail->next = raw;
    raw->prev = tail;
  }
  raw->id = static_cast<std::uint8_t>(t->tr_count);
  t->tr_count++;
  nk_log(&t->nk, LOG_NOTICE, "[%d] Succesfully created output: '%s'\n", raw->id, arg);
  return raw;
}

void tr_init_buffer(transmission *tr) {
  for (; tr != nullptr; tr = tr->next) {
    tr->slice = std::make_unique<tx_slice[]>(static_cast<std::size_t>(tr->t->buff_size));
  }
}

void tr_fdset(transmission *tr, int *max_fd, fd_set *rfds, fd_set * /*wfds*/) {
  for (; tr != nullptr; tr = tr->next) {
    if (tr->sock < 0) {
      continue;
    }
    FD_SET(tr->sock, rfds);
    if (tr->sock + 1 > *max_fd) {
      *max_fd = tr->sock + 1;
    }
  }
}

void tr_fdsel(transmission *tr, fd_set *rfds, fd_set * /*wfds*/) {
  for (; tr != nullptr; tr = tr->next) {
    if (tr->sock >= 0 && FD_ISSET(tr->sock, rfds)) {
      // Until the receive path is in place, datagrams from the receiver are read and dropped
      // so that a readable socket cannot keep select() spinning.
      recv(tr->sock, tr->packet, sizeof tr->packet, 0);
    }
  }
}
