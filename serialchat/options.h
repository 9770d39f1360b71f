// serialchat's command line: `serialchat [options] DEVICE`, DEVICE always last.
#pragma once

#include <optional>
#include <termios.h>

namespace serialchat {

enum class parity { none, odd, even };

struct options {
  speed_t speed = B9600;
  parity parity_mode = parity::none;
  bool two_stop_bits = false;
  bool seven_data_bits = false;
  // RS-485 mode of the platform's serial driver; no option sets it (see port.h).
  bool rs485_enabled = false;
  bool quiet = false;
  bool print_sent = false;
  bool print_unexpected = false;
  bool errors_to_stdout = false;
  bool print_timing = false;
  bool cont = false;
  bool crlf = false;
  const char *coproc_cmd = nullptr;
  const char *device = nullptr;
};

// The termios speed for a baud rate given in decimal, or none when it is not one we offer.
std::optional<speed_t> speed_for_baudrate(long baudrate);

// Reads the options from the arguments before the last one. None means the usage applies:
// too few arguments, an unknown letter, a rejected value, or a second coprocess.
std::optional<options> parse_options(int argc, char **argv);

} // namespace serialchat
