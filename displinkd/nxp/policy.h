// Pieces of the output policy shared between its files and reachable by its tests.
#pragma once

#include "hdtx.h"

#include <cstdint>

inline constexpr const char *DISPLINKD_IMAGE_SOURCE_PATH = "/etc/sysconfig/image_source.conf";

// Output format choice for the sink whose EDID the transmitter holds; 0 success, 1 no format.
int select_video_config(hdtx_video_in_config *video_in, hdtx_video_out_config *video_out, unsigned *sink_type);
// The CEA-861 code of a capture mode name, 0 when none is known; *is720 tells a 720-line mode.
unsigned capture_mode_to_cea(const char *mode, bool *is720);

int displinkd_nxp_tx_init(bool force_scaling);
void displinkd_nxp_tx_shutdown();
void displinkd_nxp_tx_interrupt_callback();
void tx_event_callback(unsigned event);

int displinkd_nxp_cec_init();
void displinkd_nxp_cec_calibrate();
void displinkd_nxp_cec_shutdown();
void displinkd_nxp_cec_interrupt_callback();
void displinkd_nxp_cec_send_address(std::uint16_t address);

// The transmitter instance the policy opened.
unsigned displinkd_nxp_tx_instance();
// Where the policy reads the capture mode; tests point it elsewhere.
void displinkd_nxp_set_image_source_path(const char *path);
