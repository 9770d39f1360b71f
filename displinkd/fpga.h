// The FPGA's HDMI control word (register 0 of the HDMI control device behind the video device).
// Every operation opens the video device, attaches the control device, reads the word, changes
// its bits and writes it back, then closes the device; nothing is kept between calls.
#pragma once

// Bits of the control word.
inline constexpr unsigned DISPLINKD_FPGA_HDMI_ON = 0x1;
inline constexpr unsigned DISPLINKD_FPGA_MODE_SD = 0x2;
inline constexpr unsigned DISPLINKD_FPGA_PLL_ON = 0x4;
inline constexpr unsigned DISPLINKD_FPGA_FROM_720 = 0x8;

// All return 1 on success, 0 on failure (logged).
int displinkd_fpga_enable_pll();
int displinkd_fpga_enable_hdmi();
int displinkd_fpga_disable_hdmi();
// Down-scaled 576-line output; `from720` tells the scaler that the source has 720 lines.
int displinkd_fpga_enable_hdmi_mode_sd(bool from720);
// Clears the down-scaling; the source-line bit is left as it is.
int displinkd_fpga_enable_hdmi_mode_hd();
