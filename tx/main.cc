// tesseltx: carries an MPEG-2 transport stream arriving as UDP datagrams losslessly to remote
// receivers over UDP.
#include <memory>

#include "loop.h"
#include "options.h"
#include "startup.h"
#include "tesseltx.h"

int main(int argc, char **argv) {
  // Lives for the whole process; signal handlers and the encryption worker reach it via _t.
  auto *t = new tesseltx{};
  _t = t;
  tx_defaults(t);
  int input_rcvbuf = 0;
  if (tx_parse_options(t, argc, argv, &input_rcvbuf) == tx_parse_result::exit_ok) {
    return 0;
  }
  tx_startup(t, input_rcvbuf);
  tx_run(t);
}
