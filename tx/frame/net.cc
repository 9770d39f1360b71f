#include "net.h"

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "fec.h"
#include "input.h"
#include "liveness.h"
#include "nodekit.h"
#include "receive.h"
#include "ring.h"
#include "stop.h"
#include "tesseltx.h"
#include "udp_segment.h"

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

void report_send_error(transmission *tr, const sockaddr_in &to, int err) {
  tesseltx *t = tr->t;
  std::fputs("sendto!!!\n", stdout);
  t->stat.sendto_err++;
  nk_log(&t->nk, LOG_ERR, "[%u] tr_nex_tx(%d, %x, %d, 0, %x, %d)[%x %x %x]: %d: %s \n",
         static_cast<unsigned>(tr->id), tr->sock,
         static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(tr->packet.raw)), 1368,
         static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(&tr->sin)), 16,
         static_cast<unsigned>(to.sin_family), static_cast<unsigned>(to.sin_addr.s_addr),
         static_cast<unsigned>(to.sin_port), err, std::strerror(err));
}

// An output's packets of one pass, waiting to leave together. Entries [first, count) are not
// sent yet; while any remain after a send, the socket's buffer is full. Each record belongs to
// the transmission it was made for, allocated when that output is created. An entry is a copy
// of the packet's head and, for a data packet, the ring slot's image in place (`slot`, which
// held slice `seq` when the packet was built).
struct out_batch {
  transmission *owner = nullptr;
  std::size_t first = 0;
  std::size_t count = 0;
  std::array<mmsghdr, tx_batch_size> msgs{};
  std::array<std::array<iovec, 2>, tx_batch_size> iov{};
  std::array<sockaddr_in, tx_batch_size> to{};
  std::array<const tun_slice *, tx_batch_size> slot{};
  std::array<std::uint64_t, tx_batch_size> seq{};
  std::array<std::array<std::uint8_t, sizeof(tun_packet_buffer)>, tx_batch_size> head{};
  // A run of equal data packets to one address leaves as one segmented send (UDP GSO): the
  // kernel walks its stack once for the run instead of once per datagram. The receiver sees
  // the same datagrams. Off for good once the kernel or the route refuses it.
  bool segment = true;
  std::array<mmsghdr, tx_batch_size> runs{};
  std::array<std::size_t, tx_batch_size> run_len{};
  std::array<udp_segment_control, tx_batch_size> run_cmsg{};
};

std::vector<std::unique_ptr<out_batch>> batches; // by transmission id
bool batching = false;                           // inside the loop's send phase

out_batch *batch_of(const transmission *tr) {
  if (tr->id >= batches.size() || !batches[tr->id] || batches[tr->id]->owner != tr) {
    return nullptr;
  }
  return batches[tr->id].get();
}

bool blocked(const out_batch *b) {
  return b != nullptr && b->first < b->count;
}

// Points entry i's message at its own address and vectors.
void place(out_batch *b, std::size_t i) {
  msghdr &m = b->msgs[i].msg_hdr;
  m = {};
  m.msg_name = &b->to[i];
  m.msg_namelen = sizeof b->to[i];
  m.msg_iov = b->iov[i].data();
  m.msg_iovlen = b->slot[i] != nullptr ? 2 : 1;
}

// Entries left over from an earlier pass whose slot the input has since given to a newer slice
// (a socket blocked for a whole ring) would send the wrong bytes: they are dropped as too late.
void drop_reused_slots(transmission *tr, out_batch *b) {
  std::size_t kept = b->first;
  for (std::size_t i = b->first; i < b->count; ++i) {
    if (b->slot[i] != nullptr && b->slot[i]->seq != b->seq[i]) {
      tr->stat.too_late_to_send++;
      nk_log(&tr->t->nk, LOG_DEBUG, "[tr_net_tx] [%u] slot of slice %" PRIu64 " reused before it left.\n",
             static_cast<unsigned>(tr->id), b->seq[i]);
      continue;
    }
    if (kept != i) {
      const std::size_t head_len = b->iov[i][0].iov_len;
      std::memcpy(b->head[kept].data(), b->head[i].data(), head_len);
      b->iov[kept] = b->iov[i];
      b->iov[kept][0].iov_base = b->head[kept].data();
      b->to[kept] = b->to[i];
      b->slot[kept] = b->slot[i];
      b->seq[kept] = b->seq[i];
      place(b, kept);
    }
    kept++;
  }
  b->count = kept;
}

std::size_t entry_size(const out_batch *b, std::size_t i) {
  return b->iov[i][0].iov_len + (b->slot[i] != nullptr ? b->iov[i][1].iov_len : 0);
}

// Where the run that starts at entry i ends: data packets to the same address, all of the
// first one's size except that the last may be shorter, within what one UDP datagram carries.
std::size_t run_end(const out_batch *b, std::size_t i) {
  constexpr std::size_t udp_max = 65507;
  constexpr std::size_t segments_max = 64;
  if (b->slot[i] == nullptr) {
    return i + 1;
  }
  const std::size_t size = entry_size(b, i);
  std::size_t total = size;
  std::size_t j = i + 1;
  for (; j < b->count && j - i < segments_max; ++j) {
    const std::size_t next = entry_size(b, j);
    if (b->slot[j] == nullptr || next > size || total + next > udp_max ||
        b->to[j].sin_addr.s_addr != b->to[i].sin_addr.s_addr || b->to[j].sin_port != b->to[i].sin_port) {
      break;
    }
    total += next;
    if (next < size) {
      return j + 1;
    }
  }
  return j;
}

// One message per run of [first, count) (one per entry when `segment` is off).
std::size_t plan_runs(out_batch *b, bool segment) {
  std::size_t n = 0;
  for (std::size_t i = b->first; i < b->count; ++n) {
    const std::size_t end = segment ? run_end(b, i) : i + 1;
    b->runs[n] = b->msgs[i];
    b->run_len[n] = end - i;
    if (end - i > 1) {
      msghdr &m = b->runs[n].msg_hdr;
      m.msg_iovlen = 2 * (end - i); // the entries' vector pairs lie back to back
      udp_set_segment(&m, &b->run_cmsg[n], entry_size(b, i));
    }
    i = end;
  }
  return n;
}

// Sends what the batch holds. False when the socket's buffer filled up first: the rest waits
// for the socket to become writable. A datagram the kernel refuses is reported and dropped; a
// run that fails is sent again datagram by datagram, so that each error is told as before.
bool flush(transmission *tr, out_batch *b) {
  bool singly = false;
  while (b->first < b->count) {
    const std::size_t runs = plan_runs(b, b->segment && !singly);
    const int n = sendmmsg(tr->sock, b->runs.data(), static_cast<unsigned>(runs), MSG_DONTWAIT);
    if (n > 0) {
      for (int r = 0; r < n; ++r) {
        b->first += b->run_len[static_cast<std::size_t>(r)];
      }
      continue;
    }
    const int err = errno;
    if (err == EAGAIN || err == EWOULDBLOCK) {
      return false;
    }
    if (err == EINTR) {
      continue;
    }
    if (b->run_len[0] > 1) {
      if (udp_segmenting_refused(err)) {
        b->segment = false;
        nk_log(&tr->t->nk, LOG_INFO, "[%u] segmented sends refused (%s): sending datagram by datagram\n",
               static_cast<unsigned>(tr->id), std::strerror(err));
      }
      singly = true;
      continue;
    }
    report_send_error(tr, b->to[b->first], err);
    b->first++;
  }
  b->first = 0;
  b->count = 0;
  return true;
}

void send_now(transmission *tr, const tx_datagram &d, const sockaddr_in &to) {
  std::array<iovec, 2> iov = {iovec{const_cast<std::uint8_t *>(d.head.data()), d.head.size()},
                              iovec{const_cast<std::uint8_t *>(d.slice.data()), d.slice.size()}};
  msghdr m{};
  m.msg_name = const_cast<sockaddr_in *>(&to);
  m.msg_namelen = sizeof to;
  m.msg_iov = iov.data();
  m.msg_iovlen = d.slice.empty() ? 1 : 2;
  const ssize_t sent = sendmsg(tr->sock, &m, 0);
  if (sent < 0 || static_cast<std::size_t>(sent) != d.size()) {
    report_send_error(tr, to, errno);
  }
}

void send_datagram(void * /*ctx*/, transmission *tr, const tx_datagram &d, const sockaddr_in &to) {
  out_batch *b = batching ? batch_of(tr) : nullptr;
  if (b == nullptr || d.head.size() > b->head[0].size() || b->count == b->head.size()) {
    send_now(tr, d, to);
    return;
  }
  const std::size_t i = b->count++;
  // The head is small for data packets (24 or 32 bytes); the slice stays in its slot.
  std::memcpy(b->head[i].data(), d.head.data(), d.head.size());
  b->iov[i][0] = {b->head[i].data(), d.head.size()};
  b->iov[i][1] = {const_cast<std::uint8_t *>(d.slice.data()), d.slice.size()};
  b->to[i] = to;
  b->slot[i] = d.slot;
  b->seq[i] = d.seq;
  place(b, i);
}

// When the input socket was last seen empty, on the monotonic clock: a datagram read later
// arrived after it.
timespec64 input_emptied_at{};
bool input_emptied_known = false;

// How long the datagram waited in the kernel, in µs, from its SO_TIMESTAMP. The stamp is wall
// clock time; a wall clock stepped forward between the stamp and now would make the wait look
// an hour long and date the slice an hour early. It cannot have waited longer than since the
// socket was last seen empty, which the monotonic clock tells. (A negative wait, from a step
// back, the engine counts as none.)
std::optional<std::int64_t> kernel_wait_us(tesseltx *t, msghdr *m) {
  std::optional<std::int64_t> wait;
  for (cmsghdr *cm = CMSG_FIRSTHDR(m); cm != nullptr; cm = CMSG_NXTHDR(m, cm)) {
    if (cm->cmsg_level != SOL_SOCKET || cm->cmsg_type != SO_TIMESTAMP) {
      continue;
    }
    timeval kernel{};
    std::memcpy(&kernel, CMSG_DATA(cm), sizeof kernel);
    wait = (static_cast<std::int64_t>(t->now_tv.tv_sec) - kernel.tv_sec) * 1000000 +
           (static_cast<std::int64_t>(t->now_tv.tv_usec) - kernel.tv_usec);
  }
  if (wait && input_emptied_known) {
    const std::int64_t bound = (t->now.tv_sec - input_emptied_at.tv_sec) * 1000000 +
                               (t->now.tv_nsec - input_emptied_at.tv_nsec) / 1000;
    if (*wait > bound) {
      wait = bound < 0 ? 0 : bound;
    }
  }
  return wait;
}

// The input's batch: one header, vector and control buffer per datagram.
constexpr std::size_t input_cmsg_size = 64;
struct input_batch {
  std::array<mmsghdr, tx_batch_size> msgs{};
  std::array<iovec, tx_batch_size> iov{};
  alignas(8) std::array<std::array<unsigned char, input_cmsg_size>, tx_batch_size> cmsg{};
};
input_batch in;

std::uint64_t oversized = 0;        // input datagrams cut to a slice, in all
std::uint64_t oversized_logged = 0; // of which the log has told
timespec64 oversized_last_log{};

// Says at most once a second that input datagrams were cut: whatever exceeds a slice is lost,
// which a stream sent with the wrong datagram size would otherwise never learn.
void note_oversized(tesseltx *t) {
  oversized++;
  if (oversized_logged != 0 && !tun_timeout(t->now, &oversized_last_log, 1000)) {
    return;
  }
  nk_log(&t->nk, LOG_WARNING,
         "%" PRIu64 " input datagram(s) longer than %u bytes cut to a slice (%" PRIu64 " in all)",
         oversized - oversized_logged, static_cast<unsigned>(slice_payload_max), oversized);
  oversized_logged = oversized;
  oversized_last_log = t->now;
}

// How many datagrams may go into the ring at once: up to the ring's end and never onto a slot
// an active output has not sent yet (the slice that would overrun is read alone, so that the
// input path stops the tunnel before anything else is overwritten). Never less than one.
std::size_t input_room(const tesseltx *t) {
  std::uint64_t room = tx_batch_size;
  const std::uint64_t to_end = static_cast<std::uint64_t>(t->buff_size) - tx_ring_index(t, t->next);
  room = std::min(room, to_end);
  bool any_active = false;
  for (const transmission *tr = t->tr; tr != nullptr; tr = tr->next) {
    if (!tr->active_flag) {
      continue;
    }
    any_active = true;
    const std::uint64_t limit = tr->next_slice + static_cast<std::uint64_t>(t->buff_size);
    room = std::min(room, limit > t->next ? limit - t->next : 0);
  }
  // Without an active output nothing bounds the worker's lag but the ring: one at a time.
  if (t->aes && !any_active) {
    room = 1;
  }
  return static_cast<std::size_t>(std::max<std::uint64_t>(room, 1));
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
  if (batches.size() <= tr->id) {
    batches.resize(tr->id + 1u);
  }
  batches[tr->id] = std::make_unique<out_batch>();
  batches[tr->id]->owner = tr;
  batches[tr->id]->segment = udp_can_segment(sock);
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

std::uint64_t tx_oversized_inputs() {
  return oversized;
}

std::size_t tun_net_rx(tesseltx *t, bool known_readable, bool *filled) {
  tun_slice *first = tx_ring_slot(t, t->next);
  const std::size_t room = input_room(t);
  if (in.msgs[0].msg_hdr.msg_iov == nullptr) {
    // The headers point at their own vector and control buffer for good; a read then only
    // names the slots and restores what the kernel reports back in place.
    for (std::size_t i = 0; i < tx_batch_size; ++i) {
      msghdr &m = in.msgs[i].msg_hdr;
      m.msg_iov = &in.iov[i];
      m.msg_iovlen = 1;
      m.msg_control = in.cmsg[i].data();
      in.iov[i].iov_len = sizeof first->udp_data;
    }
  }
  for (std::size_t i = 0; i < room; ++i) {
    in.iov[i].iov_base = (first + i)->udp_data; // the room never passes the ring's end
    in.msgs[i].msg_hdr.msg_controllen = input_cmsg_size;
  }
  const int flags = known_readable ? MSG_WAITFORONE : MSG_DONTWAIT;
  const int got = recvmmsg(t->socket, in.msgs.data(), static_cast<unsigned>(room), flags, nullptr);
  if (filled != nullptr) {
    *filled = got > 0 && static_cast<std::size_t>(got) == room;
  }
  // A read that did not fill its room took everything there was: whatever comes later arrives
  // after this moment. (A read that filled it proves nothing; the bound stays where it was.)
  const bool emptied = got < 0 || static_cast<std::size_t>(got) < room;
  if (got <= 0) {
    if (emptied) {
      input_emptied_at = t->now;
      input_emptied_known = true;
    }
    return 0;
  }
  if (t->next == 1) {
    tx_input_first(t); // logs that the stream has begun
  }
  for (std::size_t i = 0; i < static_cast<std::size_t>(got); ++i) {
    msghdr &m = in.msgs[i].msg_hdr;
    const std::size_t len = in.msgs[i].msg_len;
    if (len < 1) {
      continue; // an empty datagram gets no number
    }
    tun_slice *slot = tx_ring_slot(t, t->next);
    if (slot != first + i) {
      // An empty datagram before this one: it moves up into the slot its number names.
      std::memmove(slot->udp_data, (first + i)->udp_data, len);
    }
    if (m.msg_flags & MSG_TRUNC) {
      note_oversized(t);
    }
    if (!tx_input(t, slot, len, kernel_wait_us(t, &m))) {
      tx_exit(t);
    }
  }
  tx_input_publish(t);
  if (emptied) {
    input_emptied_at = t->now;
    input_emptied_known = true;
  }
  return static_cast<std::size_t>(got);
}

void tr_net_rx(transmission *tr, bool known_readable) {
  tesseltx *t = tr->t;
  nk_t_start(&t->nk);
  int flags = known_readable ? 0 : MSG_DONTWAIT;
  for (unsigned i = 0; i < tx_pass_cap; ++i) {
    const ssize_t n = recv(tr->sock, tr->packet.raw, sizeof tr->packet.raw, flags);
    if (n < 0) {
      break;
    }
    tr_receive(tr, static_cast<std::size_t>(n));
    flags = MSG_DONTWAIT;
  }
  nk_t_end(&t->nk, &t->stat.t_net_rx);
}

void tr_net_tx(transmission *tr) {
  tesseltx *t = tr->t;
  nk_t_start(&t->nk);
  tr_send(tr, tr_sendto);
  nk_t_end(&t->nk, &t->stat.t_net_tx);
}

namespace {

// The send phase of one output. `planned`: the pass's plan already counted one packet.
bool send_batch(transmission *tr, bool planned) {
  out_batch *b = batch_of(tr);
  if (b == nullptr) {
    if (planned) {
      tr_net_tx(tr);
    }
    return false;
  }
  if (blocked(b)) {
    drop_reused_slots(tr, b);
  }
  if (!flush(tr, b)) {
    return false;
  }
  batching = true;
  unsigned sent = 0;
  if (planned) {
    tr_net_tx(tr);
    sent++;
  }
  for (; sent < tx_pass_cap; ++sent) {
    if (b->count == b->head.size() && !flush(tr, b)) {
      break;
    }
    if (!tr_plan(tr)) {
      break;
    }
    tr_net_tx(tr);
  }
  batching = false;
  flush(tr, b);
  return sent >= tx_pass_cap;
}

} // namespace

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
    if (blocked(batch_of(tr)) || tr_plan(tr)) {
      add_fd(tr->sock, wfds, max_fd);
    }
  }
  nk_t_end(&t->nk, &t->stat.t_fdset);
}

bool tr_fdsel(transmission *tr, fd_set *rfds, fd_set *wfds, bool tick) {
  if (tr == nullptr) {
    return false;
  }
  tesseltx *t = tr->t;
  bool more = false;
  nk_t_start(&t->nk);
  for (; tr != nullptr; tr = tr->next) {
    if (tr->sock < 0) {
      continue;
    }
    if (tick || FD_ISSET(tr->sock, rfds)) {
      tr_net_rx(tr, !tick);
    }
    // A socket that was blocked counts nothing in the plan: its batch goes first.
    const bool planned = FD_ISSET(tr->sock, wfds) && !blocked(batch_of(tr));
    more = send_batch(tr, planned) || more;
  }
  nk_t_end(&t->nk, &t->stat.t_fdsel);
  return more;
}

bool tx_stream_pending(const tesseltx *t) {
  for (const transmission *tr = t->tr; tr != nullptr; tr = tr->next) {
    if (tr->active_flag && tr->sock >= 0 &&
        (tr->next_slice < t->next || tr->stat.slices_to_resend != 0 || tr_fec_due(tr))) {
      return true;
    }
  }
  return false;
}
