// How the options map onto a port's character framing: size, stop bits, parity.
#pragma once

#include "options.h"

#include <termios.h>

namespace serialchat {

// Replaces CSIZE, CSTOPB, PARENB and PARODD in `tio` by the chosen framing; other flags stay.
void set_framing(termios &tio, const options &o);

} // namespace serialchat
