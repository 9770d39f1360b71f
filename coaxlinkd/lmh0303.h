// The SDI cable driver's enable input, a GPIO output line. The module owns the line's handle
// from lmh0303_sdi_chip_init() until lmh0303_sdi_chip_cleanup().
#pragma once

// Requests the configured line (an output that starts low) and opens it. 0 on success, 1 on
// failure (logged; nothing is kept).
int lmh0303_sdi_chip_init();
// Drive the line to 1 / 0. 1 on success, 0 on failure (logged).
int lmh0303_sdi_chip_enable();
int lmh0303_sdi_chip_disable();
// Closes and frees the line. Safe to call when nothing is held.
void lmh0303_sdi_chip_cleanup();
