// The receiver's reading in batches: the pass buffer that one round of reads fills (every port's
// datagrams with their source addresses, allocated once at start-up) and the merge that hands
// them to the engine in the order the transmitter sent them. The transmitter sends to the ports
// of its range in turn, so each port's queue holds every k-th slice; handing one port's batch
// whole before the next would show the engine later numbers first, and it would ask for slices
// that are only waiting in another port's queue.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <netinet/in.h>
#include <span>
#include <sys/socket.h>
#include <sys/uio.h>
#include <vector>

#include "tun_proto.h"

// Reads one receive call makes on one port at most.
inline constexpr std::size_t rx_batch_max = 32;
// Receive buffers across all ports. Each holds a whole read: a datagram, or a run of them the
// kernel coalesced (UDP GRO, up to 64 KiB); with many ports each one's batch shrinks, down to
// one read per call. Pages a read never reaches stay untouched.
inline constexpr std::size_t rx_batch_buffers = 128;
inline constexpr std::size_t rx_batch_buffer_bytes = 65536;
// Datagrams one coalesced read may yield; more are dropped and counted (no sender of this
// tunnel coalesces so many, nor does the kernel's receive side).
inline constexpr std::size_t rx_batch_segments_max = 128;

// Where a datagram of the round sits: its port and its place in that port's batch.
struct rx_batch_ref {
  std::uint32_t port;
  std::uint32_t index;
};

// A datagram of the round: its bytes in a receive buffer and the read they came with.
struct rx_batch_view {
  const std::uint8_t *data;
  std::uint32_t len;
  std::uint32_t read;
};

struct rx_batch_control {
  alignas(cmsghdr) unsigned char bytes[CMSG_SPACE(sizeof(int))];
};

struct rx_batch_pass {
  std::size_t ports = 0;
  std::size_t per_port = 0;       // reads one receive call asks for
  std::size_t views_per_port = 0; // datagrams a port's batch may hold
  // port * per_port + index for each of the following
  std::unique_ptr<std::uint8_t[]> buffers;
  std::vector<sockaddr_in> from;
  std::vector<iovec> iov;
  std::vector<rx_batch_control> control;
  std::vector<mmsghdr> msgs;        // msg_len is the read's length
  std::vector<std::uint32_t> reads; // per port: reads of this round
  // port * views_per_port + index
  std::vector<rx_batch_view> views;
  std::vector<std::uint32_t> count; // per port: datagrams of this round
  std::uint64_t segments_dropped = 0;
  // The merge's working space and its result.
  std::vector<rx_batch_ref> order;
  std::vector<std::uint32_t> cursor;
  std::vector<std::int64_t> rank;
  std::vector<std::uint8_t> keyed;
  std::vector<std::pair<std::int64_t, std::uint32_t>> heads;
};

// Sets up the buffer for `ports` ports. False when the count is 0 or beyond what the buffer
// addresses.
bool rx_batch_init(rx_batch_pass *pass, std::size_t ports);

// Readies `port`'s slots for a receive call (the kernel rewrites each address length) and
// returns its first message; the call may fill up to `per_port` of them.
mmsghdr *rx_batch_prepare(rx_batch_pass *pass, std::size_t port);

// Cuts the `reads` reads `port` took into its datagrams: a coalesced read by the segment size
// the kernel reports with it (the last segment may be shorter; one cut off by a short buffer
// is dropped), every other read whole. A datagram longer than a tunnel packet is cut to one.
// Sets and returns the port's count.
std::size_t rx_batch_split(rx_batch_pass *pass, std::size_t port, std::size_t reads);

// The `index`-th datagram `port` took in this round, and where it came from.
std::span<const std::uint8_t> rx_batch_datagram(const rx_batch_pass *pass, std::size_t port,
                                                std::size_t index);
const sockaddr_in &rx_batch_source(const rx_batch_pass *pass, std::size_t port, std::size_t index);

// The slice number a data packet (new or resent, either layout) carries; false for every other
// datagram, and for one too short to hold the number or without the magic.
bool rx_batch_key(std::span<const std::uint8_t> datagram, std::uint64_t *key);

// Orders the round's datagrams (`count` of each port) into `order` and returns how many there
// are. Data go by slice number, compared as serial numbers so that the order holds across a
// wrap; equal numbers go by port. Every other datagram keeps its place behind the one before
// it in its own port's batch (at the head of a batch, it goes at once). Each port's own order
// is always kept.
std::size_t rx_batch_merge(rx_batch_pass *pass);
