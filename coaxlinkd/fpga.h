// The FPGA's SDI serialiser, reached as an external device of the video device "/dev/cam0": the
// SMPTE ST 352 payload identifier for the capture mode, the two AES3 channel-status blocks of the
// embedded audio, and the output enable. The module owns the open video device and the device
// number of the last attach; both are renewed by every fpga_init().
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

// Registers of the serialiser.
inline constexpr std::uint32_t SDI_REG_OUTPUT_ENABLE = 0x80000004;
inline constexpr std::uint32_t SDI_REG_PAYLOAD_ID = 0x80000014;
inline constexpr std::uint32_t SDI_REG_AUDIO_CONTROL = 0x80000018;
inline constexpr std::uint32_t SDI_REG_TABLE_PORT = 0x80000020;

// Written once after the channel-status tables: bit 0 set, bit 1 clear, bits 2-3 = 2.
inline constexpr std::uint32_t SDI_AUDIO_CONTROL_VALUE = 1u | (0u << 1) | (2u << 2);
// Table indices of the two channel-status blocks.
inline constexpr unsigned SDI_TABLE_FIRST_BLOCK = 16;
inline constexpr unsigned SDI_TABLE_SECOND_BLOCK = 40;

enum class capture_mode_status {
  ok,                // the identifier is complete (the rate may still be unknown)
  not_a_number,      // the text does not start with a decimal digit
  unsupported_scan,  // 1080 lines with a scan other than 'p' or 'i'
  unsupported_lines, // neither 1080 nor 720 lines
};

// What a capture-mode text such as "1080p50" gives: lines, scan character and picture rate as
// parsed, and the 24-bit payload identifier (byte 1 in bits 0-7, byte 2 in 8-15, byte 3 in
// 16-23). A rate without an ST 352 code leaves the rate bits clear and `rate_known` false.
struct sdi_payload {
  capture_mode_status status;
  int lines;
  char scan;
  int rate;
  bool rate_known;
  std::uint32_t value;
};

sdi_payload sdi_payload_identifier(std::string_view mode);

using aes3_block = std::array<std::uint8_t, 24>;

// The CRC byte that closes an AES3 channel-status block (x^8 + x^4 + x^3 + x^2 + 1, preset to
// ones, over bytes 0-22).
std::uint8_t aes3_crcc(const aes3_block &block);
// The professional-use channel-status block of the embedded audio, with `channel` in byte 3 and
// the CRC of the result in byte 23.
aes3_block aes3_channel_status(std::uint8_t channel);
// The table port's word: index in bits 0-5, data byte in bits 8-15.
std::uint32_t sdi_table_word(unsigned index, std::uint8_t byte);

// Opens the video device, attaches the serialiser and programs it for the capture mode, then
// switches the output and the cable driver on. 1 on success, 0 on failure (logged).
int fpga_init();
// Register 0x80000004 to 1 / 0 through the device fpga_init() opened. 1 once written (a failed
// write is logged); 0 when no device is open.
int fpga_enable_sdi_output();
int fpga_disable_sdi_output();
// Closes the video device.
void fpga_close();
