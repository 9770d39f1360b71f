#include "options.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace serialchat {

std::optional<speed_t> speed_for_baudrate(long baudrate) {
  switch (baudrate) {
  case 600: return B600;
  case 1200: return B1200;
  case 1800: return B1800;
  case 2400: return B2400;
  case 4800: return B4800;
  case 9600: return B9600;
  case 19200: return B19200;
  case 38400: return B38400;
  case 57600: return B57600;
  case 115200: return B115200;
  default: return std::nullopt;
  }
}

std::optional<options> parse_options(int argc, char **argv) {
  if (argc < 2)
    return std::nullopt;
  options o;
  o.device = argv[argc - 1];
  optind = 0; // full re-initialisation, so that the parser can run more than once
  int c;
  while ((c = getopt(argc - 1, argv, "b:p:c:q247suetir")) != -1) {
    const char *arg = optarg ? optarg : ""; // getopt sets it for every letter that takes a value
    switch (c) {
    case 'b': {
      auto speed = speed_for_baudrate(std::strtol(arg, nullptr, 10));
      if (!speed)
        return std::nullopt;
      o.speed = *speed;
      break;
    }
    case 'p':
      if (std::strlen(arg) != 1)
        return std::nullopt;
      if (arg[0] == 'o' || arg[0] == 'O')
        o.parity_mode = parity::odd;
      else if (arg[0] == 'e' || arg[0] == 'E')
        o.parity_mode = parity::even;
      else
        return std::nullopt;
      break;
    case 'c':
      // Only one coprocess can own standard input.
      if (o.coproc_cmd)
        return std::nullopt;
      o.coproc_cmd = arg;
      break;
    case 'q': o.quiet = true; break;
    case '7': o.seven_data_bits = true; break;
    case '2': o.two_stop_bits = true; break;
    case 's': o.print_sent = true; break;
    case 'u': o.print_unexpected = true; break;
    case 'e': o.errors_to_stdout = true; break;
    case 't': o.print_timing = true; break;
    case 'i': o.cont = true; break;
    case 'r': o.crlf = true; break;
    default: // '?' and the listed but unoffered '4'
      return std::nullopt;
    }
  }
  return o;
}

} // namespace serialchat
