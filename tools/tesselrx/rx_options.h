// The receiver's command line, in the transmitter's conventions: getopt, options applied in
// order, the last occurrence winning, configuration errors fatal through nk_die.
#pragma once

#include <cstdint>
#include <netinet/in.h>
#include <string>

#include "nk_context.h"
#include "rx_engine.h"

enum class rx_output_kind { none, udp, file };

struct rx_options {
  in_addr listen_ip{};        // INADDR_ANY unless -s names an address
  std::uint16_t port = 0;     // first tunnel port, host order
  unsigned port_count = 1;    // -k
  unsigned latency_ms = 300;  // -o
  rx_output_kind output = rx_output_kind::none;
  sockaddr_in destination{};  // -d
  std::string file;           // -w; "-" is standard output
  std::string syslog_prefix;  // -l
  rx_config engine;           // version and own description
};

enum class rx_parse_result { run, exit_ok };

void rx_print_help(const char *progname);

rx_parse_result rx_parse_options(NKCx *nk, int argc, char **argv, rx_options *o);

// Slots the play-out window needs for `latency_ms`: room for that long at 100 Mbit/s of full
// slices, doubled, and never fewer than 4096.
std::uint64_t rx_window_for_latency(unsigned latency_ms);
