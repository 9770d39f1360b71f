#include "udp_segment.h"

#include <cerrno>
#include <cstring>
#include <netinet/udp.h>

bool udp_can_segment(int fd) {
  int none = 0;
  return fd >= 0 && setsockopt(fd, SOL_UDP, UDP_SEGMENT, &none, sizeof none) == 0;
}

void udp_set_segment(msghdr *m, udp_segment_control *c, std::size_t segment) {
  m->msg_control = c->bytes;
  m->msg_controllen = sizeof c->bytes;
  cmsghdr *cm = CMSG_FIRSTHDR(m);
  cm->cmsg_level = SOL_UDP;
  cm->cmsg_type = UDP_SEGMENT;
  cm->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
  const auto size = static_cast<std::uint16_t>(segment);
  std::memcpy(CMSG_DATA(cm), &size, sizeof size);
}

bool udp_segmenting_refused(int err) {
  return err == EIO || err == EINVAL || err == ENOPROTOOPT || err == EOPNOTSUPP || err == EMSGSIZE;
}
