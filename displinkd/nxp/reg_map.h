// Register specifiers of the transmitter that more than one file of the register layer uses.
//
// Two kinds live here and must not be confused:
//  - fixed: the chip's documented behaviour the daemon relies on (paging, version, interrupt
//    flags, EDID RAM and DDC block read, PLL set-up, SPD infoframe, packet enable register);
//  - PLACEHOLDER: addresses and bit positions chosen here for the video, colour, audio and packet
//    families until they are confirmed on the device. Each one is marked so below; none of them
//    may be read as a confirmed value of the chip.
#pragma once

#include "reg_unit.h"

// --- fixed ---------------------------------------------------------------------------------
inline constexpr std::uint16_t REG_VERSION_LSB = hdtx_reg(PI_00, 0x00);
inline constexpr std::uint16_t REG_VERSION_MSB = hdtx_reg(PI_00, 0x02);
inline constexpr std::uint16_t REG_INIT_0B = hdtx_reg(PI_00, 0x0B);
inline constexpr std::uint16_t REG_INIT_0D = hdtx_reg(PI_00, 0x0D);
inline constexpr std::uint16_t REG_INIT_24 = hdtx_reg(PI_00, 0x24);
inline constexpr std::uint16_t REG_VIDEO_OUT_OFF = hdtx_reg(PI_00, 0xCA); // mask 0x20: video output off
inline constexpr std::uint16_t REG_PLL_SERIAL_12 = hdtx_reg(PI_02, 0x12);
inline constexpr std::uint16_t REG_INIT_9A = hdtx_reg(PI_12, 0x9A);
inline constexpr std::uint16_t REG_EDID_CTRL_9B = hdtx_reg(PI_12, 0x9B);

inline constexpr std::uint16_t REG_EDID_DATA = hdtx_reg(PI_09, 0x00);
inline constexpr std::uint16_t REG_DDC_START = hdtx_reg(PI_09, 0xFA);
inline constexpr std::uint16_t REG_DDC_ADDR = hdtx_reg(PI_09, 0xFB);
inline constexpr std::uint16_t REG_DDC_OFFSET = hdtx_reg(PI_09, 0xFC);
inline constexpr std::uint16_t REG_DDC_SEGMENT_ADDR = hdtx_reg(PI_09, 0xFD);
inline constexpr std::uint16_t REG_DDC_SEGMENT = hdtx_reg(PI_09, 0xFE);

inline constexpr std::uint16_t REG_SPD_IF = hdtx_reg(PI_10, 0x60);
inline constexpr std::uint16_t REG_PKT_ENABLE_1 = hdtx_reg(PI_11, 0x0F);
inline constexpr std::uint8_t PKT_ENABLE_SPD = 0x08;

// CEC core registers the register layer touches.
inline constexpr std::uint8_t CEC_REG_CHANGE_FLAGS = 0xFD; // bit 1 hot plug, bit 0 receiver sense
inline constexpr std::uint8_t CEC_REG_LEVELS = 0xFE;
inline constexpr std::uint8_t CEC_REG_REARM = 0xFC;
inline constexpr std::uint8_t CEC_REG_ENABLE = 0xFF;

// Interrupt flag bits.
inline constexpr std::uint8_t INT0_SOFTWARE = 0x04;  // REG_INT_FLAGS_0
inline constexpr std::uint8_t INT1_EXTENDED = 0x40;  // REG_INT_FLAGS_1
inline constexpr std::uint8_t INT1_CEC = 0x01;       // REG_INT_FLAGS_1
inline constexpr std::uint8_t INT2_EDID_BLOCK = 0x02; // REG_INT_FLAGS_2

// --- PLACEHOLDER: chosen here, to be confirmed on the device --------------------------------
inline constexpr std::uint16_t REG_SOFT_RESET = hdtx_reg(PI_00, 0x0A);         // bits 0-1: reset the I2C master and audio
inline constexpr std::uint16_t REG_MAIN_CNTRL = hdtx_spec(3, PI_00, 0x01);     // bit 0: power down (shadowed)
inline constexpr std::uint16_t REG_VIDEO_IN_CNTRL = hdtx_spec(4, PI_00, 0x18); // input mode, sync source, edge (shadowed)
inline constexpr std::uint16_t REG_VIDEO_PORT_SWAP = hdtx_reg(PI_00, 0x20);    // 3 registers: port swap/mirror
inline constexpr std::uint16_t REG_VIDEO_PORT_ENA = hdtx_reg(PI_00, 0x23);     // kept clear of 0x24, which initialisation uses
inline constexpr std::uint16_t REG_VIDEO_PORT_GND = hdtx_reg(PI_00, 0x26);
inline constexpr std::uint16_t REG_VIDEO_FORMAT = hdtx_spec(5, PI_00, 0x30);   // input format code (shadowed)
inline constexpr std::uint16_t REG_VIDEO_OUT_FORMAT = hdtx_spec(6, PI_00, 0x31); // output format code (shadowed)
inline constexpr std::uint16_t REG_PIXEL_REPEAT = hdtx_spec(7, PI_00, 0x32);   // pixel repetition, colour depth (shadowed)
inline constexpr std::uint16_t REG_VIDEO_FINE = hdtx_reg(PI_00, 0x34);         // 2 registers: pixel and line fine timing
inline constexpr std::uint16_t REG_BLANKING = hdtx_reg(PI_00, 0x36);           // blanking code
inline constexpr std::uint16_t REG_SYNC_CNTRL = hdtx_spec(8, PI_00, 0x38);     // sync in (auto/manual), sync out (shadowed)
inline constexpr std::uint16_t REG_SYNC_MANUAL = hdtx_reg(PI_00, 0x3A);        // 8 registers: pixel/line references
inline constexpr std::uint16_t REG_OUT_CONFIG = hdtx_spec(9, PI_00, 0x40);     // sink type, colour space, TMDS outputs (shadowed)
inline constexpr std::uint16_t REG_TEST_PATTERN = hdtx_reg(PI_00, 0x42);
inline constexpr std::uint16_t REG_MATRIX_CNTRL = hdtx_spec(10, PI_00, 0x80);  // bypass, mode (shadowed)
inline constexpr std::uint16_t REG_MATRIX_COEFF = hdtx_reg(PI_00, 0x81);       // 9 coefficients x 2 + 6 offsets x 2
inline constexpr std::uint16_t REG_AUDIO_PORT = hdtx_reg(PI_00, 0x9E);
inline constexpr std::uint16_t REG_AUDIO_CLOCK_PORT = hdtx_reg(PI_00, 0x9F);
inline constexpr std::uint16_t REG_AUDIO_IN_CNTRL = hdtx_spec(11, PI_11, 0x00); // format, I2S format, DST rate (shadowed)
inline constexpr std::uint16_t REG_AUDIO_LAYOUT = hdtx_reg(PI_11, 0x01);        // channel allocation
inline constexpr std::uint16_t REG_AUDIO_CTS_N = hdtx_reg(PI_11, 0x04);         // CTS (3 bytes) then N (3 bytes)
inline constexpr std::uint16_t REG_AUDIO_CTS_CNTRL = hdtx_spec(12, PI_11, 0x0A); // bit 0 automatic CTS, bit 1 CTS reset (shadowed)
inline constexpr std::uint16_t REG_AUDIO_CH_STATUS = hdtx_reg(PI_11, 0x10);     // 4 bytes of channel status
inline constexpr std::uint16_t REG_AUDIO_MUTE = hdtx_spec(13, PI_11, 0x18);     // bit 0 mute (shadowed)
inline constexpr std::uint16_t REG_PKT_ENABLE_2 = hdtx_reg(PI_11, 0x0E);        // ACP, ISRC, gamut, null, general control
inline constexpr std::uint16_t REG_GENERAL_CNTRL = hdtx_reg(PI_11, 0x1A);       // AV mute set/clear
inline constexpr std::uint16_t REG_AVI_IF = hdtx_reg(PI_10, 0x40);
inline constexpr std::uint16_t REG_AUDIO_IF = hdtx_reg(PI_10, 0x80);
inline constexpr std::uint16_t REG_MPEG_IF = hdtx_reg(PI_10, 0xA0);
inline constexpr std::uint16_t REG_VS_IF = hdtx_reg(PI_10, 0xC0);
inline constexpr std::uint16_t REG_ACP_PKT = hdtx_reg(PI_11, 0x20);
inline constexpr std::uint16_t REG_ISRC1_PKT = hdtx_reg(PI_11, 0x40);
inline constexpr std::uint16_t REG_ISRC2_PKT = hdtx_reg(PI_11, 0x60);
inline constexpr std::uint16_t REG_GAMUT_PKT = hdtx_reg(PI_13, 0x00);
inline constexpr std::uint8_t PKT_ENABLE_VS = 0x01;    // in REG_PKT_ENABLE_1
inline constexpr std::uint8_t PKT_ENABLE_AVI = 0x02;   // in REG_PKT_ENABLE_1
inline constexpr std::uint8_t PKT_ENABLE_AUDIO = 0x04; // in REG_PKT_ENABLE_1
inline constexpr std::uint8_t PKT_ENABLE_MPEG = 0x10;  // in REG_PKT_ENABLE_1
inline constexpr std::uint8_t PKT_ENABLE_ACP = 0x01;   // in REG_PKT_ENABLE_2
inline constexpr std::uint8_t PKT_ENABLE_ISRC1 = 0x02; // in REG_PKT_ENABLE_2
inline constexpr std::uint8_t PKT_ENABLE_ISRC2 = 0x04; // in REG_PKT_ENABLE_2
inline constexpr std::uint8_t PKT_ENABLE_GAMUT = 0x08; // in REG_PKT_ENABLE_2
inline constexpr std::uint8_t PKT_ENABLE_NULL = 0x10;  // in REG_PKT_ENABLE_2: null packets continuously
inline constexpr std::uint8_t PKT_ENABLE_NULL_ONE = 0x20; // in REG_PKT_ENABLE_2: one null packet
inline constexpr std::uint8_t PKT_ENABLE_GC = 0x40;    // in REG_PKT_ENABLE_2
