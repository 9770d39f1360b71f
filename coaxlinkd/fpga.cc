#include "fpga.h"

#include "cam_extern.h"
#include "capture_mode.h"
#include "config.h"
#include "lmh0303.h"
#include "log.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <glib.h>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// Byte 1 and byte 2 of the identifier before the rate (SMPTE ST 352 for 1.5 Gb/s interfaces).
constexpr std::uint8_t ID_1080 = 0x89;
constexpr std::uint8_t ID_720 = 0x84;
constexpr std::uint8_t SCAN_PROGRESSIVE = 0xC0; // progressive transport and picture
constexpr std::uint8_t SCAN_INTERLACED = 0x00;
constexpr std::uint8_t SCAN_720 = 0x40;
constexpr std::uint8_t BYTE3_1080 = 0x80;
constexpr std::uint8_t BYTE3_720 = 0x00;

struct rate_code {
  int rate;
  std::uint8_t code;
};
constexpr std::array<rate_code, 4> RATE_CODES{{{25, 0x5}, {30, 0x7}, {50, 0x9}, {60, 0xB}}};

// Professional use at 48 kHz (byte 0), then the mode and word-length bytes the embedder expects.
constexpr std::uint8_t CS_BYTE0 = 0x85;
constexpr std::uint8_t CS_BYTE1 = 0x08;
constexpr std::uint8_t CS_BYTE2 = 0x2C;
constexpr std::uint8_t CRC_POLY = 0x1D;

int a5_fd = -1;
std::uint32_t latest_dev_nbr = 0;

int saturate(long v) {
  if (v > INT_MAX) {
    return INT_MAX;
  }
  if (v < INT_MIN) {
    return INT_MIN;
  }
  return static_cast<int>(v);
}

void write_reg(std::uint32_t reg, std::uint32_t value) {
  cam_extern_req req{reg, value, latest_dev_nbr};
  if (ioctl(a5_fd, CAM_IOC_EXTERN_WRITE, &req) < 0) {
    DL_ERROR("%sCAM_IOC_EXTERN_WRITE: %s", g_strerror(errno));
  }
}

void write_channel_status(unsigned first_index, const aes3_block &block) {
  for (unsigned n = 0; n < block.size(); ++n) {
    write_reg(SDI_REG_TABLE_PORT, sdi_table_word(first_index + n, block[n]));
  }
}

int set_output(std::uint32_t on) {
  if (a5_fd < 0) {
    return 0;
  }
  write_reg(SDI_REG_OUTPUT_ENABLE, on);
  return 1;
}

} // namespace

sdi_payload sdi_payload_identifier(std::string_view mode) {
  sdi_payload p{capture_mode_status::not_a_number, 0, '\0', 0, false, 0};
  if (mode.empty() || !g_ascii_isdigit(mode.front())) {
    return p;
  }
  // strtol needs a terminated text; the view may come from anywhere.
  const std::string text(mode);
  const char *start = text.c_str();
  char *end = nullptr;
  p.lines = saturate(std::strtol(start, &end, 0));
  p.scan = *end;
  if (*end != '\0') {
    p.rate = saturate(std::strtol(end + 1, nullptr, 0));
  }

  std::uint8_t b1 = 0;
  std::uint8_t b2 = 0;
  std::uint8_t b3 = 0;
  if (p.lines == 1080) {
    if (p.scan == 'p') {
      b2 = SCAN_PROGRESSIVE;
    } else if (p.scan == 'i') {
      b2 = SCAN_INTERLACED;
    } else {
      p.status = capture_mode_status::unsupported_scan;
      return p;
    }
    b1 = ID_1080;
    b3 = BYTE3_1080;
  } else if (p.lines == 720) {
    b1 = ID_720;
    b2 = SCAN_720;
    b3 = BYTE3_720;
  } else {
    p.status = capture_mode_status::unsupported_lines;
    return p;
  }
  for (const rate_code &r : RATE_CODES) {
    if (r.rate == p.rate) {
      b2 = static_cast<std::uint8_t>(b2 | r.code);
      p.rate_known = true;
    }
  }
  p.status = capture_mode_status::ok;
  p.value = static_cast<std::uint32_t>(b1) | static_cast<std::uint32_t>(b2) << 8 |
            static_cast<std::uint32_t>(b3) << 16;
  return p;
}

std::uint8_t aes3_crcc(const aes3_block &block) {
  std::uint8_t crc = 0xFF;
  for (std::size_t i = 0; i + 1 < block.size(); ++i) {
    crc = static_cast<std::uint8_t>(crc ^ block[i]);
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x80) != 0 ? static_cast<std::uint8_t>((crc << 1) ^ CRC_POLY)
                              : static_cast<std::uint8_t>(crc << 1);
    }
  }
  return crc;
}

aes3_block aes3_channel_status(std::uint8_t channel) {
  aes3_block b{};
  b[0] = CS_BYTE0;
  b[1] = CS_BYTE1;
  b[2] = CS_BYTE2;
  b[3] = channel;
  // The CRC follows the block's contents: a receiver that checks it would otherwise discard the
  // status of every block whose channel number differs from the first one.
  b[23] = aes3_crcc(b);
  return b;
}

std::uint32_t sdi_table_word(unsigned index, std::uint8_t byte) {
  return (index & 0x3Fu) | static_cast<std::uint32_t>(byte) << 8;
}

int fpga_init() {
  // Every run starts afresh: the previous descriptor would otherwise leak at each video start.
  fpga_close();
  a5_fd = open(CAM_DEVICE_PATH, O_RDWR | O_CLOEXEC);
  if (a5_fd < 0) {
    DL_ERROR("%sFailed to open %s", CAM_DEVICE_PATH);
    DL_ERROR("%sSDI i2c failed init");
    return 0;
  }

  cam_extern_req attach{1, static_cast<std::uint32_t>(coaxlinkd_config_get_FPGA_i2c_addr()),
                        static_cast<std::uint32_t>(coaxlinkd_config_get_FPGA_bus_id())};
  int dev_nbr = ioctl(a5_fd, CAM_IOC_EXTERN_ATTACH, &attach);
  if (dev_nbr < 0) {
    // Without a device number every write below would go to whatever device the driver
    // happens to find under a stale or invalid number.
    DL_ERROR("%sCAM_IOC_EXTERN_ATTACH: %s", g_strerror(errno));
    DL_ERROR("%sSDI i2c failed init");
    fpga_close();
    return 0;
  }
  latest_dev_nbr = static_cast<std::uint32_t>(dev_nbr);

  const char *mode = coaxlinkd_config_get_capture_mode();
  if (mode == nullptr) {
    DL_ERROR("%sUnable to get capture mode.");
    DL_ERROR("%sUnable to get capture mode");
    return 0;
  }
  sdi_payload p = sdi_payload_identifier(mode);
  switch (p.status) {
  case capture_mode_status::not_a_number:
    DL_ERROR("%sFailed to parse %c capture mode string: %s", mode[0], mode);
    DL_ERROR("%sUnable to get capture mode");
    return 0;
  case capture_mode_status::unsupported_scan:
    DL_ERROR("%sUnsupported scanning mode %c", p.scan);
    return 0;
  case capture_mode_status::unsupported_lines:
    DL_ERROR("%sUnsupported capture mode %d", p.lines);
    return 0;
  case capture_mode_status::ok:
    break;
  }
  if (!p.rate_known) {
    DL_ERROR("%sUnsupported picture rate %d", p.rate);
  }
  write_reg(SDI_REG_PAYLOAD_ID, p.value);

  write_channel_status(SDI_TABLE_FIRST_BLOCK, aes3_channel_status(0));
  write_channel_status(SDI_TABLE_SECOND_BLOCK, aes3_channel_status(1));
  write_reg(SDI_REG_AUDIO_CONTROL, SDI_AUDIO_CONTROL_VALUE);

  fpga_enable_sdi_output();
  lmh0303_sdi_chip_enable();
  return 1;
}

int fpga_enable_sdi_output() {
  return set_output(1);
}

int fpga_disable_sdi_output() {
  return set_output(0);
}

void fpga_close() {
  if (a5_fd >= 0) {
    close(a5_fd);
    a5_fd = -1;
  }
}
