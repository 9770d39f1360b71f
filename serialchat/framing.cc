#include "framing.h"

namespace serialchat {

void set_framing(termios &tio, const options &o) {
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | PARODD);
  tio.c_cflag |= o.seven_data_bits ? CS7 : CS8;
  if (o.two_stop_bits)
    tio.c_cflag |= CSTOPB;
  if (o.parity_mode == parity::even)
    tio.c_cflag |= PARENB;
  else if (o.parity_mode == parity::odd)
    tio.c_cflag |= PARENB | PARODD;
}

} // namespace serialchat
