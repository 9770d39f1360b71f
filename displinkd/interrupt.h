// The HDMI transmitter's interrupt line: the GPIO the transmitter pulls low to signal an
// interrupt, the main-loop source that watches its value file, and the same line driven as an
// output to give the CEC core its 9.7 ms clock calibration pulse. The module owns the GPIO
// handle, the source and the tag of the watched descriptor. The main thread runs everything but
// displinkd_interrupt_enable() and displinkd_interrupt_disable(), which the transmitter library's
// command thread calls as well.
#pragma once

#include <glib.h>

// Runs on the thread of the loop given to displinkd_interrupt_init().
using displinkd_interrupt_callback = void (*)();

// All return 0 on success and 1 on failure (logged where a message exists).

// Requests the configured GPIO as an input signalling falling edges and opens it.
int displinkd_interrupt_init_pin();
// Arms the line (input, falling edge) and watches it from `loop`'s context; each edge calls
// `callback`. Calling it again replaces the earlier source.
int displinkd_interrupt_init(GMainLoop *loop, displinkd_interrupt_callback callback);
// Watch the line again / stop watching it. Either may be repeated; it changes nothing then.
int displinkd_interrupt_enable();
int displinkd_interrupt_disable();
// Leaves the line an output driven high without edge detection, drops the source and releases
// the GPIO. Runs every step even when one fails.
int displinkd_interrupt_shutdown();

// CEC clock calibration, between enabling and disabling calibration in the CEC core:
// line to output, driven high,
int displinkd_interrupt_init_cec_calibration();
// 9.7 ms low pulse,
int displinkd_interrupt_perform_cec_calibration();
// back to an input signalling falling edges.
int displinkd_interrupt_end_cec_calibration();
