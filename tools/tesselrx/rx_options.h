// The receiver's command line, in the transmitter's conventions: getopt, options applied in
// order, the last occurrence winning, configuration errors fatal through nk_die.
#pragma once

#include <cstdint>
#include <netinet/in.h>
#include <string>

#include "nk_context.h"
#include "rx_engine.h"
#include "rx_impair.h"

enum class rx_output_kind { none, udp, file };

struct rx_options {
  in_addr listen_ip{};         // INADDR_ANY unless -s names an address
  std::uint16_t port = 0;      // first tunnel port, host order
  unsigned port_count = 1;     // -k
  unsigned latency_ms = 300;   // -o
  unsigned rate_kbps = 100000; // -e: highest stream rate the window must hold
  rx_output_kind output = rx_output_kind::none;
  sockaddr_in destination{};         // -d
  std::string file;                  // -w; "-" is standard output
  std::string syslog_prefix;         // -l
  rx_config engine;                  // version and own description
  bool request_repeat_fixed = false; // -r given: the repeat time no longer follows the round trip
  rx_impair_config impair_in;        // -I: what the link does to datagrams from the transmitter
  rx_impair_config impair_out;       // ... and to ours on their way to it
};

enum class rx_parse_result { run, exit_ok };

void rx_print_help(const char *progname);

rx_parse_result rx_parse_options(NKCx *nk, int argc, char **argv, rx_options *o);

// Slots the play-out window needs: twice the full slices that `latency_ms` holds at
// `rate_kbps`, and never fewer than 4096. Slices further ahead of play-out than the window are
// refused, so the room beyond the latency absorbs bursts and late resends.
std::uint64_t rx_window_slices(unsigned latency_ms, unsigned rate_kbps);

// Largest window accepted (slots of about 1.3 kB each).
inline constexpr std::uint64_t rx_window_max = std::uint64_t{1} << 19;
