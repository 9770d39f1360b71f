// Segmented UDP sends (GSO): a run of equal datagrams handed to the kernel in one message, which
// it cuts into the same datagrams on the way out. Shared by the transmitter's outputs and the
// receiver's play-out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/socket.h>

struct udp_segment_control {
  alignas(cmsghdr) unsigned char bytes[CMSG_SPACE(sizeof(std::uint16_t))];
};

// Whether the kernel segments sends on this socket. A kernel that does not know the option
// refuses it here; asked through a control message alone, it would ignore the message and send
// the whole run as one datagram. (A segment size of 0 is the default: it changes nothing.)
bool udp_can_segment(int fd);

// Makes `m` a segmented send of `segment`-byte datagrams, its control message in `c`.
void udp_set_segment(msghdr *m, udp_segment_control *c, std::size_t segment);

// Errors with which a kernel or route turns a segmented send down (no GSO, no checksum offload
// on the way out, a segment above the path's MTU, a transform on the route).
bool udp_segmenting_refused(int err);
