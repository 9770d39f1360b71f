#include "transmission.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

#include "nodekit.h"
#include "tesseltx.h"
#include "tunnel.h"

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

// Whether an active transmission has stream work: its next new slice (once encrypted, with
// encryption on), a resend, or a due parity packet.
bool has_stream_work(transmission *tr) {
  tesseltx *t = tr->t;
  tun_slice *slot = &t->buffer[tr->next_slice & (static_cast<std::uint64_t>(t->buff_size) - 1)];
  if (slot->seq == tr->next_slice && is_encrypted(t, slot)) {
    return true;
  }
  if (tr_check_repeat(tr) != 0) {
    return true;
  }
  return t->fec >= 2 && tr->fec.seq % t->fec == static_cast<std::uint64_t>(t->fec - 1);
}

void info_timing(transmission *tr) {
  tesseltx *t = tr->t;
  if (t->protocol_version < 6) {
    tr->info_request = 0;
    return;
  }
  const std::uint64_t silence = tr_silence_ms(t->delay);
  if ((tun_universal_timeout(t, &tr->last_ping, silence) && tun_universal_timeout(t, &tr->last_info, silence)) ||
      tun_universal_timeout(t, &tr->last_info, 300000)) {
    tr->info_request = 1;
  }
}

} // namespace

std::uint64_t tr_silence_ms(unsigned int delay_ms) {
  const std::uint64_t rule = static_cast<std::uint64_t>(delay_ms) * 12 / 10;
  return rule < tr_silence_floor_ms ? tr_silence_floor_ms : rule;
}

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

void tr_activate(transmission *tr) {
  tesseltx *t = tr->t;
  nk_log(&t->nk, LOG_NOTICE, "Activating tr%d @%lu", tr->id, static_cast<unsigned long>(t->next - 1));
  // Before the first datagram there is no newest slice; start at slice 1, which no slot holds
  // yet, rather than at 0, which no slot ever holds.
  const std::uint64_t start = t->next > 1 ? t->next - 1 : 1;
  tr->first_to_repeat = start;
  tr->next_slice = start;
  tr->active_flag = 1;
  tr->last_ping = t->now;
  tr->info_request = 1;
  tr->next_port = tr->port;
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

unsigned char is_encrypted(tesseltx *t, tun_slice *s) {
  if (!t->aes) {
    return 1;
  }
  std::lock_guard lock(t->aes->mutex);
  return s->encrypted;
}

void tr_fdset(transmission *tr, int *max_fd, fd_set *rfds, fd_set *wfds) {
  if (tr == nullptr) {
    return;
  }
  tesseltx *t = tr->t;
  nk_t_start(&t->nk);
  tun_switch_backup(t);
  for (; tr != nullptr; tr = tr->next) {
    if (tr->sock < 0) {
      continue;
    }
    add_fd(tr->sock, rfds, max_fd);
    info_timing(tr);
    if (tr->ping_seq != 0 || tr->info_reply || tr->info_request || tr->aes_reply != nullptr) {
      add_fd(tr->sock, wfds, max_fd);
      continue;
    }
    if (!tr->active_flag || !has_stream_work(tr)) {
      continue;
    }
    if (tr_bandwidth(tr)) {
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
