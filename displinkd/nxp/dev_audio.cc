// Audio input set-up: ports for the audio format, input format, N and CTS for the output's
// pixel clock, channel status, a short mute while the new clocks settle, and the audio
// infoframe.
#include "dev_instance.h"

#include "hdtx_reg.h"
#include "hdtx_reg_packets.h"

namespace {

enum : unsigned { AUDIO_SPDIF = 0, AUDIO_I2S = 1, AUDIO_ONE_BIT = 2, AUDIO_DST = 3, AUDIO_HBR = 4 };

// Capability bits the register layer reports (set = the part lacks the feature).
constexpr std::uint8_t feature_no_one_bit_dst = 0x01;
constexpr std::uint8_t feature_no_hbr = 0x02;

constexpr std::uint16_t audio_settle_ms = 20;

const hdtx_audio_port_config &ports_for(const hdtx_config &c, const hdtx_audio_in_config &a) {
  switch (a.format) {
  case AUDIO_SPDIF:
    return c.audio_spdif;
  case AUDIO_I2S:
    return a.channel_allocation != 0 ? c.audio_i2s_multichannel : c.audio_i2s;
  case AUDIO_ONE_BIT:
    return c.audio_one_bit;
  case AUDIO_DST:
    return c.audio_dst;
  default:
    return c.audio_hbr;
  }
}

} // namespace

hdtx_err dev_set_audio_input(const hdtx_audio_in_config *audio, unsigned sink_type) {
  hdtx_dev_instance &d = dev_instance();
  if (audio == nullptr)
    return HDTX_ERR_NULL_ARGUMENT;
  if (audio->format > AUDIO_HBR || audio->rate > 6 || sink_type > HDTX_SINK_FROM_EDID)
    return HDTX_ERR_BAD_PARAMETER;
  std::uint8_t features = 0;
  hdtx_err err = hdtx_reg_hw_get_capabilities(0, &features);
  if (err != HDTX_OK)
    return err;
  if (((audio->format == AUDIO_ONE_BIT || audio->format == AUDIO_DST) &&
       (features & feature_no_one_bit_dst)) ||
      (audio->format == AUDIO_HBR && (features & feature_no_hbr)))
    return HDTX_ERR_NOT_SUPPORTED;
  // N and CTS follow the output's pixel clock.
  const hdtx_video_format_specs *format = d.video_configured ? dev_find_format(d.vout_format) : nullptr;
  if (format == nullptr)
    return HDTX_ERR_WRONG_STATE;
  unsigned sink = sink_type;
  if (sink == HDTX_SINK_FROM_EDID) {
    err = hdtx_reg_edid_get_sink_type(0, &sink);
    if (err != HDTX_OK)
      return err;
  }

  const hdtx_audio_port_config &ports = ports_for(d.config, *audio);
  err = hdtx_reg_set_audio_port_config(0, ports.audio);
  if (err == HDTX_OK)
    err = hdtx_reg_set_audio_clock_port_config(0, ports.clock);
  if (err == HDTX_OK)
    err = hdtx_reg_audio_in_set_config(0, audio->format, audio->channel_allocation, audio->i2s_format,
                                       audio->i2s_qualifier, audio->dst_rate);
  if (err == HDTX_OK)
    err = hdtx_reg_audio_in_set_cts(0, audio->rate, format->code, format->field_rate);
  if (err == HDTX_OK && audio->format != AUDIO_SPDIF)
    err = hdtx_reg_audio_out_set_chan_status(0, &audio->channel_status, audio->rate);
  if (err == HDTX_OK && !d.audio_mute) {
    err = hdtx_reg_audio_out_set_mute(0, true);
    if (err == HDTX_OK) {
      hdtx_os_wait(audio_settle_ms);
      err = hdtx_reg_audio_out_set_mute(0, false);
    }
  }
  if (err != HDTX_OK)
    return err;

  hdtx_pkt_aif aif{};
  aif.channel_alloc = audio->channel_allocation;
  // Streams without their own header say their rate here.
  aif.sample_freq = audio->format == AUDIO_ONE_BIT || audio->format == AUDIO_DST
                        ? static_cast<std::uint8_t>(audio->rate + 1)
                        : 0;
  if (sink != HDTX_SINK_HDMI)
    return HDTX_OK;
  err = hdtx_reg_pkt_set_audio_infoframe(0, &aif, 1);
  return err == HDTX_REG_ERR_NOT_HDMI ? HDTX_OK : err;
}

hdtx_err hdtx_set_audio_input(unsigned instance, const hdtx_audio_in_config *audio_in, unsigned sink_type) {
  hdtx_err err = dev_enter(instance);
  if (err != HDTX_OK)
    return err;
  err = dev_set_audio_input(audio_in, sink_type);
  dev_leave();
  return err;
}
