// Textual endpoints and the input socket. Parsers and the socket constructor report failures
// through the context's last-error text and never log.
#pragma once

#include <cstdint>
#include <netinet/in.h>

#include "nk_context.h"

// "[ip]:port". The port is stored (network order, low 16 bits of a base-0 strtol) as soon as
// it is read, even when a later step fails.
int nk_parse_ip_and_port(NKCx *c, const char *str, std::uint16_t *port, in_addr *ip, char ip_optional,
                         int *ip_given);

// "[group]:port[@interface]". Without an address, mreq is left untouched.
int nk_parse_mreq_and_port(NKCx *c, const char *str, std::uint16_t *port, ip_mreq *mreq, char ip_optional,
                           int *ip_given);

// Opens the UDP input socket for "[ip]:port[@interface]" (joining a multicast group when the
// address is one), or switches standard input to non-blocking for "-" and returns 0.
int nk_create_input_socket(NKCx *c, const char *source);

int nk_stdin_socket(NKCx *c);
