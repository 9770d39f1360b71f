// The transmitter's command line: help and version texts and the in-order application of the
// options to the main record.
#pragma once

#include <cstdio>

struct tesseltx;

void print_help(const char *progname);
void print_version();

enum class tx_parse_result {
  run,     // start-up follows
  exit_ok, // help or version was printed; exit with status 0
};

// Applies argv to `t` in order. Some options act at once (-s opens the input socket, -d creates
// a transmission, -l switches logging); configuration errors end the process through tx_die.
// `input_rcvbuf` receives the -B value (default 1048576).
tx_parse_result tx_parse_options(tesseltx *t, int argc, char **argv, int *input_rcvbuf);

// Slices per second for a bandwidth of `kbps` kbit/s: one slice carries 10528 payload bits.
// Computed in 64 bits so that no valid int overflows.
unsigned long long tx_bandwidth_cap(int kbps);
