// serialchat: sends instructions read from standard input to a serial port and prints what the
// device answers, with timeouts and optional time stamps.
#include "chat.h"
#include "coprocess.h"
#include "options.h"
#include "output.h"
#include "port.h"

#include <cstdio>
#include <cstdlib>

using namespace serialchat;

namespace {

int finish(coprocess &cp, int status) {
  coprocess_finish(cp);
  return status;
}

} // namespace

int main(int argc, char **argv) {
  auto opts = parse_options(argc, argv);
  if (!opts) {
    print_usage(stdout, argc > 0 ? argv[0] : "serialchat");
    return 1;
  }

  coprocess cp;
  if (opts->coproc_cmd && !coprocess_start(opts->coproc_cmd, cp))
    return finish(cp, 1);

  unique_fd port = port_open(*opts);
  if (!port)
    return finish(cp, 1);

  chat c;
  c.port_fd = port.get();
  c.err_file = opts->errors_to_stdout ? stdout : stderr;
  c.style.eol = opts->crlf ? "\r\n" : "\n";
  c.style.print_timing = opts->print_timing;
  c.quiet = opts->quiet;
  c.print_sent = opts->print_sent;
  c.print_unexpected = opts->print_unexpected;
  c.cont = opts->cont;
  c.coproc = cp.stream;
  c.start_time_us = monotonic_now_us();
  c.last_event_us = c.start_time_us;

  switch (chat_run(c, stdin)) {
  case chat_result::failed_now:
    std::fflush(stdout);
    std::_Exit(1);
  case chat_result::failed:
    return finish(cp, 1);
  default:
    return finish(cp, 0);
  }
}
