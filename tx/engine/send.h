// What a transmission sends next, and sending it. One decision, tr_next_packet, serves both the
// question of the pass's plan (does this output want to write?) and the send itself, so the
// two can never disagree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <netinet/in.h>
#include <span>
#include <vector>

struct tesseltx;
struct transmission;
struct tun_slice;

// 1 when slice `s` may be sent: always without encryption, else once the worker has passed it.
// Lock-free: the main loop asks on every pass.
unsigned char is_encrypted(const tesseltx *t, const tun_slice *s);

// The most urgent packet of a transmission, in the order they go out.
enum class tr_next : std::uint8_t {
  none,       // nothing: the next slice has not arrived (or is not encrypted yet)
  key_reply,  // the key reply to a receiver's public key
  ping_reply, // the answer to the latest ping
  info,       // the own description, as a reply or unasked
  parity,     // the FEC parity of the group just sent
  resend,     // a slice a receiver asked for again
  slice,      // the next new slice
  slice_gone, // the next new slice's slot holds another slice: it is too late to send it
};

// Decides without sending; with `stream` false only control packets count. The resend scan may
// move past entries no longer wanted; nothing else changes. `resend_seq` receives the slice
// number of a resend.
tr_next tr_next_packet(transmission *tr, bool stream, std::uint64_t *resend_seq);

// The plan of a pass for one transmission: runs the description timing and answers whether it
// wants to write. Control packets always may; stream packets only from an active transmission
// and within its bandwidth window, which this charges.
bool tr_plan(transmission *tr);

// One datagram of the engine. A data packet is its head (header, departure time and, with FEC,
// the group number), built in the transmission's packet buffer, followed by the slice image as
// it stands in its ring slot: the slot is not copied. Any other packet is `head` alone.
struct tx_datagram {
  std::span<const std::uint8_t> head;
  std::span<const std::uint8_t> slice; // the ring slot's image, or empty
  const tun_slice *slot = nullptr;     // the ring slot itself, with `slice`
  std::uint64_t seq = 0;               // the slot's slice number when the packet was built
  std::size_t size() const { return head.size() + slice.size(); }
  // The whole datagram in one piece, for callers that need it so (simulations, tests).
  std::vector<std::uint8_t> bytes() const {
    std::vector<std::uint8_t> v(head.begin(), head.end());
    v.insert(v.end(), slice.begin(), slice.end());
    return v;
  }
};

// Where the engine's packets go: one datagram for the transmission, to `to`. Both parts stay
// valid only until the engine builds the next packet of this transmission, and the slice part
// only as long as its slot still holds slice `seq` (the input may reuse the slot later).
struct tx_send_fn {
  void *ctx = nullptr;
  void (*send)(void *ctx, transmission *tr, const tx_datagram &datagram, const sockaddr_in &to) = nullptr;
};

// Builds the most urgent packet (in place, in the transmission's packet buffer) and hands it to
// `out` at the transmission's next port, which then moves on in the port range.
void tr_send(transmission *tr, const tx_send_fn &out);
