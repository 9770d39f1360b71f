// Packet family: each packet is built in a buffer, checksummed where it is an infoframe, and
// written in one transfer while its enable bit is off, so that the sink never sees half a
// packet.
#include "hdtx_reg_packets.h"
#include "reg_map.h"

namespace {

constexpr unsigned INFOFRAME_HEADER = 4; // type, version, length, checksum

hdtx_err packet_unit(unsigned unit, unsigned enable, hdtx_reg_unit **u) {
  hdtx_err err = check_unit(unit, u);
  if (err != HDTX_OK)
    return err;
  if ((*u)->sink_type != HDTX_SINK_HDMI)
    return HDTX_REG_ERR_NOT_HDMI;
  if (enable > 1)
    return HDTX_REG_ERR_BAD_PARAMETER;
  return HDTX_OK;
}

// Writes `length` bytes of a finished packet while its enable bit is off, then sets the bit.
hdtx_err write_packet(hdtx_reg_unit *u, std::uint16_t target, std::uint16_t enable_reg, std::uint8_t enable_mask,
                      const std::uint8_t *bytes, unsigned length, unsigned enable) {
  hdtx_err err = set_hw_register_field(u, enable_reg, enable_mask, 0);
  if (err == HDTX_OK && bytes != nullptr)
    err = set_hw_registers(u, target, bytes, static_cast<std::uint8_t>(length));
  if (err == HDTX_OK)
    err = set_hw_register_field(u, enable_reg, enable_mask, static_cast<std::uint8_t>(enable));
  return err;
}

// An infoframe: header, checksum making the whole frame sum to 0 modulo 256, payload.
hdtx_err write_infoframe(hdtx_reg_unit *u, std::uint16_t target, std::uint16_t enable_reg, std::uint8_t enable_mask,
                         std::uint8_t type, std::uint8_t version, const std::uint8_t *payload, unsigned length,
                         unsigned enable) {
  if (payload == nullptr)
    return write_packet(u, target, enable_reg, enable_mask, nullptr, 0, enable);
  std::uint8_t frame[INFOFRAME_HEADER + 31] = {type, version, static_cast<std::uint8_t>(length), 0};
  unsigned sum = type + version + length;
  for (unsigned i = 0; i < length; ++i) {
    frame[INFOFRAME_HEADER + i] = payload[i];
    sum += payload[i];
  }
  frame[3] = static_cast<std::uint8_t>((0x100u - (sum & 0xFFu)) & 0xFFu);
  return write_packet(u, target, enable_reg, enable_mask, frame, INFOFRAME_HEADER + length, enable);
}

std::uint8_t lo(unsigned v) { return static_cast<std::uint8_t>(v & 0xFFu); }
std::uint8_t hi(unsigned v) { return static_cast<std::uint8_t>((v >> 8) & 0xFFu); }

} // namespace

hdtx_err hdtx_reg_pkt_set_spd_infoframe(unsigned unit, const hdtx_pkt_spd *spd, unsigned enable) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = packet_unit(unit, enable, &u);
  if (err != HDTX_OK)
    return err;
  if (spd == nullptr)
    return write_infoframe(u, REG_SPD_IF, REG_PKT_ENABLE_1, PKT_ENABLE_SPD, 0x83, 1, nullptr, 0, enable);
  if (spd->source_info >= 10)
    return HDTX_REG_ERR_BAD_PARAMETER;
  std::uint8_t payload[25];
  copy_bytes(spd->vendor_name, payload, 8);
  copy_bytes(spd->product_desc, payload + 8, 16);
  payload[24] = spd->source_info;
  return write_infoframe(u, REG_SPD_IF, REG_PKT_ENABLE_1, PKT_ENABLE_SPD, 0x83, 1, payload, 25, enable);
}

hdtx_err hdtx_reg_pkt_set_raw_video_infoframe(unsigned unit, const hdtx_pkt_raw_avi *avi, unsigned enable) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = packet_unit(unit, enable, &u);
  if (err != HDTX_OK)
    return err;
  return write_infoframe(u, REG_AVI_IF, REG_PKT_ENABLE_1, PKT_ENABLE_AVI, 0x82, 2, avi ? avi->payload : nullptr, 13,
                         enable);
}

hdtx_err hdtx_reg_pkt_set_video_infoframe(unsigned unit, const hdtx_pkt_avi *avi, unsigned enable) {
  if (avi == nullptr)
    return hdtx_reg_pkt_set_raw_video_infoframe(unit, nullptr, enable);
  if (avi->colour_indicator > 3 || avi->active_info > 1 || avi->bar_info > 3 || avi->scan_info > 3 ||
      avi->colorimetry > 3 || avi->picture_aspect > 3 || avi->active_format > 15 || avi->it_content > 1 ||
      avi->ext_colorimetry > 7 || avi->rgb_quantization > 3 || avi->nonuniform_scaling > 3 || avi->video_code > 127 ||
      avi->ycc_quantization > 3 || avi->content_type > 3 || avi->pixel_repetition > 15)
    return HDTX_REG_ERR_BAD_PARAMETER;
  hdtx_pkt_raw_avi raw{};
  raw.payload[0] = static_cast<std::uint8_t>((avi->colour_indicator << 5) | (avi->active_info << 4) |
                                             (avi->bar_info << 2) | avi->scan_info);
  raw.payload[1] =
      static_cast<std::uint8_t>((avi->colorimetry << 6) | (avi->picture_aspect << 4) | avi->active_format);
  raw.payload[2] = static_cast<std::uint8_t>((avi->it_content << 7) | (avi->ext_colorimetry << 4) |
                                             (avi->rgb_quantization << 2) | avi->nonuniform_scaling);
  raw.payload[3] = avi->video_code;
  raw.payload[4] = static_cast<std::uint8_t>((avi->ycc_quantization << 6) | (avi->content_type << 4) |
                                             avi->pixel_repetition);
  raw.payload[5] = lo(avi->top_bar_end);
  raw.payload[6] = hi(avi->top_bar_end);
  raw.payload[7] = lo(avi->bottom_bar_start);
  raw.payload[8] = hi(avi->bottom_bar_start);
  raw.payload[9] = lo(avi->left_bar_end);
  raw.payload[10] = hi(avi->left_bar_end);
  raw.payload[11] = lo(avi->right_bar_start);
  raw.payload[12] = hi(avi->right_bar_start);
  return hdtx_reg_pkt_set_raw_video_infoframe(unit, &raw, enable);
}

hdtx_err hdtx_reg_pkt_set_audio_infoframe(unsigned unit, const hdtx_pkt_aif *aif, unsigned enable) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = packet_unit(unit, enable, &u);
  if (err != HDTX_OK)
    return err;
  if (aif == nullptr)
    return write_infoframe(u, REG_AUDIO_IF, REG_PKT_ENABLE_1, PKT_ENABLE_AUDIO, 0x84, 1, nullptr, 0, enable);
  if (aif->coding_type > 15 || aif->channel_count > 7 || aif->sample_freq > 7 || aif->sample_size > 3 ||
      aif->level_shift > 15 || aif->down_mix_inhibit > 1)
    return HDTX_REG_ERR_BAD_PARAMETER;
  std::uint8_t payload[10] = {};
  payload[0] = static_cast<std::uint8_t>((aif->coding_type << 4) | aif->channel_count);
  payload[1] = static_cast<std::uint8_t>((aif->sample_freq << 2) | aif->sample_size);
  payload[3] = aif->channel_alloc;
  payload[4] = static_cast<std::uint8_t>((aif->down_mix_inhibit << 7) | (aif->level_shift << 3));
  return write_infoframe(u, REG_AUDIO_IF, REG_PKT_ENABLE_1, PKT_ENABLE_AUDIO, 0x84, 1, payload, 10, enable);
}

hdtx_err hdtx_reg_pkt_set_mpeg_infoframe(unsigned unit, const hdtx_pkt_mpeg *mpeg, unsigned enable) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = packet_unit(unit, enable, &u);
  if (err != HDTX_OK)
    return err;
  if (mpeg == nullptr)
    return write_infoframe(u, REG_MPEG_IF, REG_PKT_ENABLE_1, PKT_ENABLE_MPEG, 0x85, 1, nullptr, 0, enable);
  if (mpeg->frame_type > 3)
    return HDTX_REG_ERR_BAD_PARAMETER;
  std::uint8_t payload[10] = {};
  for (unsigned i = 0; i < 4; ++i)
    payload[i] = static_cast<std::uint8_t>((mpeg->bit_rate >> (8 * i)) & 0xFFu);
  payload[4] = static_cast<std::uint8_t>((mpeg->field_repeat ? 0x10u : 0u) | mpeg->frame_type);
  return write_infoframe(u, REG_MPEG_IF, REG_PKT_ENABLE_1, PKT_ENABLE_MPEG, 0x85, 1, payload, 10, enable);
}

hdtx_err hdtx_reg_pkt_set_vs_infoframe(unsigned unit, const hdtx_pkt_vs *vs, unsigned enable) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = packet_unit(unit, enable, &u);
  if (err != HDTX_OK)
    return err;
  if (vs == nullptr)
    return write_infoframe(u, REG_VS_IF, REG_PKT_ENABLE_1, PKT_ENABLE_VS, 0x81, 1, nullptr, 0, enable);
  if (vs->length > sizeof vs->payload || vs->ieee_id > 0xFFFFFFu)
    return HDTX_REG_ERR_BAD_PARAMETER;
  std::uint8_t payload[27] = {};
  payload[0] = static_cast<std::uint8_t>(vs->ieee_id & 0xFFu);
  payload[1] = static_cast<std::uint8_t>((vs->ieee_id >> 8) & 0xFFu);
  payload[2] = static_cast<std::uint8_t>((vs->ieee_id >> 16) & 0xFFu);
  copy_bytes(vs->payload, payload + 3, vs->length);
  return write_infoframe(u, REG_VS_IF, REG_PKT_ENABLE_1, PKT_ENABLE_VS, 0x81, 1, payload, 3u + vs->length, enable);
}

hdtx_err hdtx_reg_pkt_set_acp(unsigned unit, const hdtx_pkt_acp *acp, unsigned enable) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = packet_unit(unit, enable, &u);
  if (err != HDTX_OK)
    return err;
  if (acp == nullptr)
    return write_packet(u, REG_ACP_PKT, REG_PKT_ENABLE_2, PKT_ENABLE_ACP, nullptr, 0, enable);
  std::uint8_t packet[31] = {0x04, acp->acp_type, 0};
  copy_bytes(acp->data, packet + 3, 28);
  return write_packet(u, REG_ACP_PKT, REG_PKT_ENABLE_2, PKT_ENABLE_ACP, packet, sizeof packet, enable);
}

namespace {
hdtx_err write_isrc(unsigned unit, const hdtx_pkt_isrc *isrc, unsigned enable, bool first) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = packet_unit(unit, enable, &u);
  if (err != HDTX_OK)
    return err;
  std::uint16_t target = first ? REG_ISRC1_PKT : REG_ISRC2_PKT;
  std::uint8_t mask = first ? PKT_ENABLE_ISRC1 : PKT_ENABLE_ISRC2;
  if (isrc == nullptr)
    return write_packet(u, target, REG_PKT_ENABLE_2, mask, nullptr, 0, enable);
  if (isrc->status > 7)
    return HDTX_REG_ERR_BAD_PARAMETER;
  std::uint8_t packet[19] = {static_cast<std::uint8_t>(first ? 0x05 : 0x06), 0, 0};
  if (first)
    packet[1] = static_cast<std::uint8_t>((isrc->continued ? 0x80u : 0u) | (isrc->valid ? 0x40u : 0u) | isrc->status);
  copy_bytes(isrc->data, packet + 3, 16);
  return write_packet(u, target, REG_PKT_ENABLE_2, mask, packet, sizeof packet, enable);
}
} // namespace

hdtx_err hdtx_reg_pkt_set_isrc1(unsigned unit, const hdtx_pkt_isrc *isrc, unsigned enable) {
  return write_isrc(unit, isrc, enable, true);
}

hdtx_err hdtx_reg_pkt_set_isrc2(unsigned unit, const hdtx_pkt_isrc *isrc, unsigned enable) {
  return write_isrc(unit, isrc, enable, false);
}

hdtx_err hdtx_reg_pkt_set_general_cntrl(unsigned unit, const unsigned *av_mute, unsigned enable) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = packet_unit(unit, enable, &u);
  if (err != HDTX_OK)
    return err;
  if (av_mute != nullptr && *av_mute > 1)
    return HDTX_REG_ERR_BAD_PARAMETER;
  if (av_mute != nullptr) {
    // Set AV mute (bit 0) or clear it (bit 4); never both.
    err = set_hw_register(u, REG_GENERAL_CNTRL, *av_mute ? 0x01 : 0x10);
    if (err != HDTX_OK)
      return err;
  }
  return set_hw_register_field(u, REG_PKT_ENABLE_2, PKT_ENABLE_GC, static_cast<std::uint8_t>(enable));
}

hdtx_err hdtx_reg_pkt_set_null_insert(unsigned unit, unsigned enable) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = packet_unit(unit, enable, &u);
  if (err != HDTX_OK)
    return err;
  return set_hw_register_field(u, REG_PKT_ENABLE_2, PKT_ENABLE_NULL, static_cast<std::uint8_t>(enable));
}

hdtx_err hdtx_reg_pkt_set_null_single(unsigned unit) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = packet_unit(unit, 1, &u);
  if (err != HDTX_OK)
    return err;
  return set_hw_register_field(u, REG_PKT_ENABLE_2, PKT_ENABLE_NULL_ONE, 1);
}

hdtx_err hdtx_reg_pkt_fill_gamut(unsigned unit, const hdtx_pkt_gamut *gamut) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = packet_unit(unit, 0, &u);
  if (err != HDTX_OK)
    return err;
  if (gamut == nullptr)
    return HDTX_REG_ERR_BAD_PARAMETER;
  std::uint8_t packet[31] = {0x0A, gamut->hb1, gamut->hb2};
  copy_bytes(gamut->data, packet + 3, 28);
  return set_hw_registers(u, REG_GAMUT_PKT, packet, sizeof packet);
}

hdtx_err hdtx_reg_pkt_send_gamut(unsigned unit, unsigned enable) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = packet_unit(unit, enable, &u);
  if (err != HDTX_OK)
    return err;
  return set_hw_register_field(u, REG_PKT_ENABLE_2, PKT_ENABLE_GAMUT, static_cast<std::uint8_t>(enable));
}
