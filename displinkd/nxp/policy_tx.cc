// The transmitter side of the output policy: bring-up, the events of the sink, and the choice of
// output format and colour space from the camera's capture mode and the sink's EDID.
#include "displinkd_nxp.h"
#include "policy.h"

#include "hdtx_reg.h"

#include "fpga.h"
#include "log.h"

#include <glib.h>

#include <array>
#include <cstring>
#include <string>

namespace {

unsigned hdmi_tx_instance = 0;
hdtx_setup_info hdmi_tx_setup_info{};
bool force_scaling = false;
std::string image_source_path = DISPLINKD_IMAGE_SOURCE_PATH;

constexpr unsigned format_576p50 = 18;
constexpr unsigned format_576p50_4_3 = 17;
constexpr unsigned format_720p50 = 19;
constexpr unsigned format_1080p50 = 31;

// First hit wins, so the order matters ("1080p60" must be looked for before it could match a
// shorter name).
struct mode_name {
  const char *substring;
  unsigned code;
};
constexpr std::array<mode_name, 10> capture_modes{{
    {"720p60", 4},
    {"720p50", 19},
    {"1080p60", 16},
    {"1080p50", 31},
    {"1080i50", 20},
    {"1080i60", 5},
    {"720p30", 62},
    {"720p25", 61},
    {"1080p30", 34},
    {"1080p25", 33},
}};

// The capture mode as the platform wrote it, or an empty string after logging why not.
std::string read_capture_mode() {
  g_autoptr(GKeyFile) file = g_key_file_new();
  if (!g_key_file_load_from_file(file, image_source_path.c_str(), G_KEY_FILE_NONE, nullptr)) {
    DL_ERROR("%sFailed to load %s", image_source_path.c_str());
    return {};
  }
  GError *error = nullptr;
  gchar *mode = g_key_file_get_string(file, "ImageSource.I0.Video", "CaptureMode", &error);
  if (mode == nullptr) {
    DL_ERROR("%sFailed to get %s key, error code = %d, error message = %s", "CaptureMode", error->code,
             error->message);
    g_error_free(error);
    return {};
  }
  DL_DEBUG("%sUsing capture_mode: %s", mode);
  std::string result = mode;
  g_free(mode);
  return result;
}

// Code 0 is no format: the sink's list holds it for timings without a CEA-861 code, and a
// camera whose mode is unknown must not match those.
bool listed(const hdtx_video_cap *list, unsigned count, unsigned code) {
  if (code == 0)
    return false;
  for (unsigned i = 0; i < count; ++i)
    if (list[i].code == code)
      return true;
  return false;
}

void enter_standby_without_video() {
  DL_WARNING("%sFailed to select compatible video config, disabling video");
  if (hdtx_set_power_state(hdmi_tx_instance, HDTX_POWER_SUSPEND) != HDTX_OK)
    DL_ERROR("%sFailed to enter standby");
}

void edid_received() {
  DL_DEBUG("%sEvent callback Tx : EDID RECEIVED");
  std::uint8_t status = 0;
  unsigned blocks = 0;
  if (hdtx_get_edid_status(hdmi_tx_instance, &status, &blocks) != HDTX_OK) {
    DL_ERROR("%sError retrieving EDID status");
    return;
  }
  if (status == HDTX_EDID_EXT_CHECKSUM) {
    // Many televisions ship an extension with a wrong checksum; its contents are still what the
    // set accepts, and refusing them would leave the user with a black screen.
    DL_WARNING("%sEDID extension checksum wrong, using its contents, nb of block : %d", static_cast<int>(blocks));
  } else if (status != HDTX_EDID_READ) {
    DL_ERROR("%sInvalid edid status for this state, nb of block : %d", static_cast<int>(blocks));
    return;
  } else {
    DL_DEBUG("%sAll edid blocks are read, nb of block : %d", static_cast<int>(blocks));
  }

  hdtx_video_in_config video_in{};
  hdtx_video_out_config video_out{};
  unsigned sink_type = HDTX_SINK_HDMI;
  if (select_video_config(&video_in, &video_out, &sink_type) != 0) {
    enter_standby_without_video();
    return;
  }
  const hdtx_audio_in_config audio_in{
      .format = 1,
      .rate = 2,
      .i2s_format = 0x0C,
      .i2s_qualifier = 32,
      .dst_rate = 0,
      .channel_allocation = 0,
      .channel_status = {.pcm_identification = 0,
                         .copyright = 1,
                         .format_info = 0,
                         .mode = 0,
                         .category_code = 0,
                         .clock_accuracy = 0,
                         .max_word_length = 0,
                         .word_length = 0},
  };
  if (hdtx_set_input_output(hdmi_tx_instance, &video_in, &video_out, &audio_in, sink_type) != HDTX_OK) {
    DL_ERROR("%sSet video format failed");
    enter_standby_without_video();
    return;
  }
  std::uint16_t address = 0;
  if (hdtx_get_edid_source_address(hdmi_tx_instance, &address) == HDTX_OK)
    displinkd_nxp_cec_address_received(address);
  else
    DL_ERROR("%sFailed retrieving EDID status");
}

} // namespace

unsigned displinkd_nxp_tx_instance() { return hdmi_tx_instance; }

void displinkd_nxp_set_image_source_path(const char *path) { image_source_path = path; }

unsigned capture_mode_to_cea(const char *mode, bool *is720) {
  *is720 = false;
  for (const mode_name &m : capture_modes) {
    if (std::strstr(mode, m.substring) != nullptr) {
      *is720 = std::strncmp(m.substring, "720p", 4) == 0;
      return m.code;
    }
  }
  return 0;
}

int select_video_config(hdtx_video_in_config *video_in, hdtx_video_out_config *video_out, unsigned *sink_type) {
  *video_in = {.format = 0, .mode = HDTX_VIN_RGB444, .sync_source = 0, .pixel_rate = HDTX_PIXRATE_SINGLE,
               .structure_3d = 0};
  *video_out = {.format = 0, .colour_space = HDTX_CS_RGB444, .colour_depth = 0, .quantization = 0};

  unsigned capture_code = 0;
  bool source720 = false;
  const std::string mode = read_capture_mode();
  if (!mode.empty()) {
    capture_code = capture_mode_to_cea(mode.c_str(), &source720);
    if (capture_code == 0)
      DL_WARNING("%sUnsupported capture mode: %s", mode.c_str());
  }

  static hdtx_video_cap list[255];
  unsigned count = 0;
  std::uint8_t flags = 0;
  if (hdtx_get_edid_video_caps(hdmi_tx_instance, list, 255, &count, &flags) != HDTX_OK) {
    DL_WARNING("%sFailed to detect video sink capabilities (EDID)");
    return 1;
  }

  if (force_scaling) {
    video_in->format = video_out->format = format_576p50;
    if (capture_code != format_576p50)
      displinkd_fpga_enable_hdmi_mode_sd(source720);
  } else {
    for (unsigned i = 0; i < count; ++i)
      DL_DEBUG("%sSink supports video format: %d", static_cast<int>(list[i].code));
    if (listed(list, count, capture_code)) {
      DL_INFO("%sCurrent capture mode accepted by sink");
      video_in->format = video_out->format = capture_code;
      displinkd_fpga_enable_hdmi_mode_hd();
    } else {
      DL_WARNING("%sCapture mode not supported by sink EDID");
      // The scaler makes 576p50 from the 50 Hz progressive modes only, and only a sink that
      // takes 576p50 can show it.
      const bool scalable = capture_code == format_720p50 || capture_code == format_1080p50;
      if (!scalable || !(listed(list, count, format_576p50) || listed(list, count, format_576p50_4_3))) {
        DL_WARNING("%sScaling from CEA/EIA-861F format: %d not supported", static_cast<int>(capture_code));
        return 1;
      }
      DL_INFO("%sScaling to CEA/EIA-861F format 18: 720x576p_50Hz");
      video_in->format = video_out->format = format_576p50;
      displinkd_fpga_enable_hdmi_mode_sd(source720);
    }
  }

  unsigned type = HDTX_SINK_HDMI;
  if (hdtx_get_edid_sink_type(hdmi_tx_instance, &type) != HDTX_OK) {
    DL_WARNING("%sFailed to detect sink type, trying HDMI");
    type = HDTX_SINK_HDMI;
  }
  *sink_type = type;

  if (type == HDTX_SINK_DVI) {
    video_out->colour_space = HDTX_CS_RGB444;
    DL_DEBUG("%sOutput color mode: RGB444");
  } else if (flags & HDTX_VCAP_YCBCR444) {
    video_out->colour_space = HDTX_CS_YUV444;
    DL_DEBUG("%sOutput color mode: YUV444");
  } else if (flags & HDTX_VCAP_YCBCR422) {
    video_out->colour_space = HDTX_CS_YUV422;
  } else {
    video_out->colour_space = HDTX_CS_RGB444;
    DL_DEBUG("%sOutput color mode: RGB444");
  }
  return 0;
}

void tx_event_callback(unsigned event) {
  switch (event) {
  case HDTX_HPD_ACTIVE:
    DL_INFO("%sSink connected");
    if (hdtx_set_power_state(hdmi_tx_instance, HDTX_POWER_ON) != HDTX_OK)
      DL_ERROR("%sFailed to power up HDMI transmitter");
    break;
  case HDTX_HPD_INACTIVE:
    DL_INFO("%sSink disconnected");
    if (hdtx_set_power_state(hdmi_tx_instance, HDTX_POWER_SUSPEND) != HDTX_OK)
      DL_ERROR("%sFailed to enter standby");
    break;
  case HDTX_RX_DEVICE_ACTIVE:
    DL_DEBUG("%sEvent callback Tx : RX DEVICE ACTIVE");
    break;
  case HDTX_RX_DEVICE_INACTIVE:
    DL_DEBUG("%sEvent callback Tx : RX DEVICE INACTIVE");
    break;
  case HDTX_EDID_RECEIVED:
    edid_received();
    break;
  default:
    DL_DEBUG("%sUnexpected event: %u", event);
    break;
  }
}

int displinkd_nxp_tx_init(bool force) {
  force_scaling = force;
  hdmi_tx_setup_info = {};
  DL_DEBUG("%sInitializing hdmi transmitter");

  if (hdtx_open(&hdmi_tx_instance) != HDTX_OK) {
    DL_ERROR("%sDriver open failed");
    return 2;
  }
  if (hdtx_set_power_state(hdmi_tx_instance, HDTX_POWER_ON) != HDTX_OK) {
    DL_ERROR("%sFailed to set power state");
    return 1;
  }
  if (hdtx_register_callbacks(hdmi_tx_instance, tx_event_callback) != HDTX_OK) {
    DL_ERROR("%sRegister callbacks failed");
    return 1;
  }
  if (hdtx_enable_event(hdmi_tx_instance, HDTX_HPD_ACTIVE) != HDTX_OK) {
    DL_ERROR("%sFailed to enable event HDTX_HPD_ACTIVE");
    return 1;
  }
  if (hdtx_enable_event(hdmi_tx_instance, HDTX_HPD_INACTIVE) != HDTX_OK)
    DL_WARNING("%sFailed to enable event HDTX_HPD_INACTIVE");
  if (hdtx_enable_event(hdmi_tx_instance, HDTX_RX_DEVICE_ACTIVE) != HDTX_OK) {
    DL_ERROR("%sFailed to enable event HDTX_RX_DEVICE_ACTIVE");
    return 1;
  }
  if (hdtx_enable_event(hdmi_tx_instance, HDTX_RX_DEVICE_INACTIVE) != HDTX_OK)
    DL_WARNING("%sFailed to enable event HDTX_RX_DEVICE_INACTIVE");
  if (hdtx_enable_event(hdmi_tx_instance, HDTX_EDID_RECEIVED) != HDTX_OK) {
    DL_ERROR("%sFailed to enable event HDTX_EDID_RECEIVED");
    return 1;
  }
  if (hdtx_instance_setup(hdmi_tx_instance, &hdmi_tx_setup_info) != HDTX_OK) {
    DL_ERROR("%sFailed to provide HDMI TX instance configuration");
    return 1;
  }
  return 0;
}

void displinkd_nxp_tx_interrupt_callback() {
  if (hdtx_handle_interrupt(hdmi_tx_instance) != HDTX_OK)
    DL_ERROR("%sHandle interrupt failed");
}

void displinkd_nxp_tx_shutdown() {
  if (hdtx_set_power_state(hdmi_tx_instance, HDTX_POWER_OFF) != HDTX_OK)
    DL_ERROR("%sFailed to set power state");
  if (hdtx_close(hdmi_tx_instance) != HDTX_OK)
    DL_ERROR("%sHDMI TX Driver close failed");
  DL_DEBUG("%sHDMI TX Driver close done");
}
