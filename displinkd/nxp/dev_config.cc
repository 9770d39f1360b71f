// The device library's configuration table: command task and queue sizes, the chip's I2C
// addresses and adapters, the resolution table, the video port set-up of each input mode
// (derived from its port mapping table) and the audio port layouts.
#include "dev_instance.h"
#include "i2c.h"

namespace {

using mapping = std::array<std::uint16_t, 6>;
constexpr std::uint16_t X = HDTX_PORT_UNUSED;

// Each entry: the input port feeding that internal position (bit 7: mirrored). The FPGA drives
// all 24 pins in the 4:4:4 modes in the chip's own order, so those take the ports unchanged.
constexpr mapping video_port_mapping_ccir656 = {X, X, X, X, 4, 5};
constexpr mapping video_port_mapping_yuv422 = {X, X, 2, 3, 4, 5};
constexpr mapping video_port_mapping_yuv444 = {0, 1, 2, 3, 4, 5};
constexpr mapping video_port_mapping_rgb444 = {0, 1, 2, 3, 4, 5};
constexpr mapping video_port_mapping_rgb_ddr_12bits = {0, 1, 2, X, X, X};
constexpr std::uint8_t video_port_no_mux = 0x00;
constexpr std::uint8_t video_port_mux_rgb_ddr_12bits = 0x51;

constexpr unsigned command_task_priority = 250;
constexpr unsigned command_task_stack = 128;
constexpr unsigned command_queue_size = 128;
constexpr std::uint8_t hdmi_core_address = 0x70;
constexpr std::uint8_t cec_core_address = 0x34;

} // namespace

const std::array<hdtx_video_format_specs, HDTX_RESOLUTION_COUNT> hdtx_resolution_table = {{
    {1, 640, 480, false, 4, 3},    {2, 720, 480, false, 4, 3},    {3, 720, 480, false, 4, 6},
    {4, 1280, 720, false, 5, 6},   {5, 1920, 1080, true, 5, 6},   {6, 720, 480, true, 4, 3},
    {7, 720, 480, true, 4, 6},     {8, 720, 240, false, 4, 3},    {9, 720, 240, false, 4, 6},
    {10, 720, 480, true, 4, 3},    {11, 720, 480, true, 4, 6},    {12, 720, 240, false, 4, 3},
    {13, 720, 240, false, 4, 6},   {14, 1440, 480, false, 4, 3},  {15, 1440, 480, false, 4, 6},
    {16, 1920, 1080, false, 5, 6}, {17, 720, 576, false, 3, 3},   {18, 720, 576, false, 3, 6},
    {19, 1280, 720, false, 3, 6},  {20, 1920, 1080, true, 3, 6},  {21, 720, 576, true, 3, 3},
    {22, 720, 576, true, 3, 6},    {23, 720, 288, false, 3, 3},   {24, 720, 288, false, 3, 6},
    {25, 720, 576, true, 3, 3},    {26, 720, 576, true, 3, 6},    {27, 720, 288, false, 3, 3},
    {28, 720, 288, false, 3, 6},   {29, 1440, 576, false, 3, 3},  {30, 1440, 576, false, 3, 6},
    {31, 1920, 1080, false, 3, 6}, {32, 1920, 1080, false, 0, 6}, {33, 1920, 1080, false, 1, 6},
    {34, 1920, 1080, false, 2, 6}, {35, 2880, 480, false, 5, 3},  {36, 2880, 480, false, 5, 6},
    {37, 2880, 576, false, 3, 3},  {38, 2880, 576, false, 3, 6},  {60, 1280, 720, false, 0, 6},
    {61, 1280, 720, false, 1, 6},  {62, 1280, 720, false, 2, 6},
}};

hdtx_video_port_config hdtx_video_port_config_from(const std::array<std::uint16_t, 6> &map,
                                                   std::uint8_t mux) {
  hdtx_video_port_config c{};
  c.mux = mux;
  unsigned used_ports = 0;
  for (unsigned position = 0; position < map.size(); ++position) {
    const unsigned port = map[position] & 0x7Fu;
    if (map[position] == HDTX_PORT_UNUSED || port > 5) {
      // The position takes its own port, which is grounded unless another position uses it.
      c.swap[position] = static_cast<std::uint8_t>(position);
      continue;
    }
    c.swap[position] = static_cast<std::uint8_t>(port);
    c.mirror[position] = (map[position] & 0x80u) ? 1 : 0;
    used_ports |= 1u << port;
  }
  for (unsigned port = 0; port < 6; ++port) {
    const auto nibble = static_cast<std::uint8_t>(port % 2 ? 0xF0 : 0x0F);
    std::uint8_t &mask = (used_ports & (1u << port)) ? c.enable[port / 2] : c.ground[port / 2];
    mask = static_cast<std::uint8_t>(mask | nibble);
  }
  return c;
}

hdtx_err hdtx_get_config(unsigned unit, hdtx_config *config) {
  if (config == nullptr)
    return HDTX_ERR_NULL_ARGUMENT;
  if (unit != 0)
    return HDTX_ERR_BAD_UNIT;
  hdtx_config c{};
  c.task_priority = command_task_priority;
  c.task_stack_size = command_task_stack;
  c.queue_size = command_queue_size;
  c.i2c_address = hdmi_core_address;
  c.cec_address = cec_core_address;
  c.i2c_read = displinkd_i2c_read_adapter;
  c.i2c_write = displinkd_i2c_write_adapter;
  c.resolutions = hdtx_resolution_table.data();
  c.resolution_count = static_cast<unsigned>(hdtx_resolution_table.size());
  c.video_ports[HDTX_VIN_CCIR656] =
      hdtx_video_port_config_from(video_port_mapping_ccir656, video_port_no_mux);
  c.video_ports[HDTX_VIN_YUV422] = hdtx_video_port_config_from(video_port_mapping_yuv422, video_port_no_mux);
  c.video_ports[HDTX_VIN_YUV444] = hdtx_video_port_config_from(video_port_mapping_yuv444, video_port_no_mux);
  c.video_ports[HDTX_VIN_RGB444] = hdtx_video_port_config_from(video_port_mapping_rgb444, video_port_no_mux);
  c.video_ports[HDTX_VIN_RGB_DDR_12BITS] =
      hdtx_video_port_config_from(video_port_mapping_rgb_ddr_12bits, video_port_mux_rgb_ddr_12bits);
  // Audio port enables: bit n enables audio input pin n; the clock port takes the I2S/one-bit
  // clock on pin 0.
  c.audio_spdif = {0x02, 0x00};
  c.audio_i2s = {0x03, 0x01};
  c.audio_i2s_multichannel = {0x1F, 0x01};
  c.audio_one_bit = {0x7E, 0x01};
  c.audio_dst = {0x7E, 0x01};
  c.audio_hbr = {0x1F, 0x01};
  *config = c;
  return HDTX_OK;
}

const hdtx_video_format_specs *dev_find_format(unsigned code) {
  for (const hdtx_video_format_specs &row : hdtx_resolution_table) {
    if (row.code == code)
      return &row;
  }
  return nullptr;
}

hdtx_sync_manual dev_sync_timing(unsigned code) {
  // CEA-861 front porches and sync widths (pixels, lines), as references for external sync.
  struct timing {
    std::uint8_t code;
    std::uint16_t h_front;
    std::uint16_t h_sync;
    std::uint16_t v_front;
    std::uint16_t v_sync;
  };
  static constexpr timing timings[] = {
      {1, 16, 96, 10, 2},   {2, 16, 62, 9, 6},   {3, 16, 62, 9, 6},    {4, 110, 40, 5, 5},
      {5, 88, 44, 2, 5},    {6, 38, 124, 4, 3},  {7, 38, 124, 4, 3},   {8, 38, 124, 4, 3},
      {9, 38, 124, 4, 3},   {10, 76, 248, 4, 3}, {11, 76, 248, 4, 3},  {12, 76, 248, 4, 3},
      {13, 76, 248, 4, 3},  {14, 32, 124, 9, 6}, {15, 32, 124, 9, 6},  {16, 88, 44, 4, 5},
      {17, 12, 64, 5, 5},   {18, 12, 64, 5, 5},  {19, 440, 40, 5, 5},  {20, 528, 44, 2, 5},
      {21, 24, 126, 2, 3},  {22, 24, 126, 2, 3}, {23, 24, 126, 2, 3},  {24, 24, 126, 2, 3},
      {25, 48, 252, 2, 3},  {26, 48, 252, 2, 3}, {27, 48, 252, 2, 3},  {28, 48, 252, 2, 3},
      {29, 24, 128, 5, 5},  {30, 24, 128, 5, 5}, {31, 528, 44, 4, 5},  {32, 638, 44, 4, 5},
      {33, 528, 44, 4, 5},  {34, 88, 44, 4, 5},  {35, 64, 248, 9, 6},  {36, 64, 248, 9, 6},
      {37, 48, 256, 5, 5},  {38, 48, 256, 5, 5}, {60, 1760, 40, 5, 5}, {61, 2420, 40, 5, 5},
      {62, 1760, 40, 5, 5},
  };
  for (const timing &t : timings) {
    if (t.code == code)
      return {static_cast<std::uint16_t>(t.h_front + 1), static_cast<std::uint16_t>(t.v_front + 1), t.h_sync,
              t.v_sync};
  }
  return {};
}
