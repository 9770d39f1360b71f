// Command-line texts through every text parser of the support library: endpoints in both forms,
// parameter strings and PID lists.
#include <cstdint>
#include <string>

#include "nk_addr.h"
#include "nk_param.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  const char *s = text.c_str(); // stops at the first NUL, as a command line would
  NKCx c{};
  std::uint16_t port = 0;
  in_addr ip{};
  ip_mreq mreq{};
  int given = 0;
  nk_parse_ip_and_port(&c, s, &port, &ip, 1, &given);
  nk_parse_ip_and_port(&c, s, &port, &ip, 0, nullptr);
  nk_parse_mreq_and_port(&c, s, &port, &mreq, 1, &given);
  char value[16];
  nk_param_str(s, "a", value, sizeof value);
  nk_param_num(s, "b", 0);
  static unsigned char pids[8192];
  nk_parse_pid_list(&c, s, pids);
  return 0;
}
