// The HDMI daemon's output policy over the transmitter and CEC libraries: bring-up and shutdown
// of both, the reaction to hot plug and EDID (which format, which colour space, or no video), and
// the CEC responder. The module owns both library instances and what it learnt from the sink.
#pragma once

// 0 on success, 1 when the transmitter could not be brought up. A CEC side that fails only logs
// a warning and stays off for the rest of the run.
int displinkd_nxp_init(bool cec, bool force_scaling);
// The transmitter's interrupt line fired (main thread).
void displinkd_nxp_interrupt_callback();
// The sink's physical address is known: announce this source on CEC (when CEC is on).
void displinkd_nxp_cec_address_received(unsigned address);
void displinkd_nxp_shutdown();
