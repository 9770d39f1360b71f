#include "rrdc.h"

#include <cstdlib>
#include <cstring>

void rrd_get_ip_and_port(rrdc *c, const char *arg) {
  std::string text(arg);
  const auto colon = text.find(':');
  if (colon == std::string::npos) {
    c->port = rrd_default_port;
  } else {
    c->port = std::atoi(text.c_str() + colon + 1);
    text.resize(colon);
  }
  c->ip = std::move(text);
}
