#include "nk_addr.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr std::size_t work_size = 128;

// Steps shared by both parsers up to the address: copy, find the colon, read the port.
// Returns the colon inside `work`, or null on failure (reason recorded).
char *parse_port(NKCx *c, const char *str, char (&work)[work_size], std::uint16_t *port,
                 bool interface_allowed) {
  std::snprintf(work, sizeof work, "%s", str);
  char *colon = std::strchr(work, ':');
  if (colon == nullptr) {
    nk_error(c, "No port number given.");
    return nullptr;
  }
  char *end = nullptr;
  long value = std::strtol(colon + 1, &end, 0);
  *port = htons(static_cast<std::uint16_t>(static_cast<unsigned long>(value) & 0xFFFFu));
  if (*end != '\0' && !(interface_allowed && *end == '@')) {
    nk_error(c, "Incomprehensible port number.");
    return nullptr;
  }
  return colon;
}

enum class address_part { failed, left_out, parsed };

// The address before the colon: left out (allowed or not), or converted into `dst`.
address_part parse_address(NKCx *c, char (&work)[work_size], char *colon, in_addr *dst, char ip_optional,
                           int *ip_given) {
  if (ip_given != nullptr) {
    *ip_given = 0;
  }
  if (colon == work) {
    if (ip_optional) {
      return address_part::left_out;
    }
    nk_error(c, "No IP address given.");
    return address_part::failed;
  }
  *colon = '\0';
  if (inet_aton(work, dst) == 0) {
    nk_error(c, "Incomprehensible IP address.");
    return address_part::failed;
  }
  return address_part::parsed;
}

} // namespace

int nk_parse_ip_and_port(NKCx *c, const char *str, std::uint16_t *port, in_addr *ip, char ip_optional,
                         int *ip_given) {
  char work[work_size];
  char *colon = parse_port(c, str, work, port, false);
  if (colon == nullptr) {
    return 0;
  }
  const address_part a = parse_address(c, work, colon, ip, ip_optional, ip_given);
  if (a == address_part::failed) {
    return 0;
  }
  if (a == address_part::parsed && ip_given != nullptr) {
    *ip_given = 1;
  }
  return 1;
}

int nk_parse_mreq_and_port(NKCx *c, const char *str, std::uint16_t *port, ip_mreq *mreq, char ip_optional,
                           int *ip_given) {
  char work[work_size];
  char *colon = parse_port(c, str, work, port, true);
  if (colon == nullptr) {
    return 0;
  }
  const address_part a = parse_address(c, work, colon, &mreq->imr_multiaddr, ip_optional, ip_given);
  if (a != address_part::parsed) {
    return a == address_part::left_out ? 1 : 0;
  }
  if (char *at = std::strchr(colon + 1, '@')) {
    if (inet_aton(at + 1, &mreq->imr_interface) == 0) {
      nk_error(c, "Incomprehensible IP address.");
      return 0;
    }
  } else {
    mreq->imr_interface.s_addr = htonl(INADDR_ANY);
  }
  if (ip_given != nullptr) {
    *ip_given = 1;
  }
  return 1;
}

int nk_stdin_socket(NKCx *c) {
  if (fcntl(STDIN_FILENO, F_SETFL, O_NONBLOCK) < 0) {
    nk_error(c, "fcntl(O_NONBLOCK): %s", std::strerror(errno));
    return -1;
  }
  return STDIN_FILENO;
}

int nk_create_input_socket(NKCx *c, const char *source) {
  if (std::strcmp(source, "-") == 0) {
    return nk_stdin_socket(c);
  }
  std::uint16_t port = 0;
  ip_mreq mreq{};
  int ip_given = 0;
  if (!nk_parse_mreq_and_port(c, source, &port, &mreq, 1, &ip_given)) {
    return -1;
  }
  std::fprintf(stderr, "mreq ip: %x if %x port %x %d %d\n", mreq.imr_multiaddr.s_addr,
               mreq.imr_interface.s_addr, static_cast<unsigned>(port), static_cast<int>(port),
               static_cast<int>(ntohs(port)));

  int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (fd < 0) {
    nk_error(c, "socket(): %s", std::strerror(errno));
    return -1;
  }
  auto fail = [&](const char *what) {
    nk_error(c, "%s: %s", what, std::strerror(errno));
    close(fd);
    return -1;
  };
  int one = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0) {
    return fail("setsockopt(SO_REUSEADDR)");
  }
  int rcvbuf = 512000;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf) < 0) {
    return fail("setsockopt(SO_RCVBUF)");
  }
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = port;
  sin.sin_addr.s_addr = ip_given ? mreq.imr_multiaddr.s_addr : htonl(INADDR_ANY);
  if (bind(fd, reinterpret_cast<const sockaddr *>(&sin), sizeof sin) < 0) {
    return fail("bind()");
  }
  if (IN_MULTICAST(ntohl(sin.sin_addr.s_addr))) {
    if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) < 0) {
      return fail("setsockopt(IP_ADD_MEMBERSHIP)");
    }
  }
  return fd;
}
