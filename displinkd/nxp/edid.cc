// EDID reading and sink capabilities. The parse works on one 128-byte block at a time, exactly as
// the chip hands them over, and trusts nothing in them: every offset and length read from a block
// is bounded by the block (or by the extension's own timing offset) before it is used.
#include "edid.h"

#include "reg_unit.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

constexpr unsigned kDtdSize = 18;
constexpr unsigned kBlock0TimingSlots[] = {54, 72};
constexpr unsigned kBlock0DescriptorEnd = 126;
constexpr unsigned kCeaDataStart = 4;
// CEA timings are decoded while their slot starts below this offset (the last one ends at 127).
constexpr unsigned kCeaTimingLimit = 111;

constexpr std::uint8_t kTagCea = 0x02;
constexpr std::uint8_t kTagMonitorName = 0xFC;
constexpr std::uint8_t kTagRangeLimits = 0xFD;

enum : unsigned { kDbAudio = 1, kDbVideo = 2, kDbVendor = 3, kDbExtended = 7 };
constexpr std::uint8_t kExtColorimetry = 5;

// The chip's EDID RAM and its DDC block-read registers.
constexpr std::uint16_t kRegEdidData = hdtx_reg(PI_09, 0x00);
constexpr std::uint16_t kRegDdcStart = hdtx_reg(PI_09, 0xFA);
constexpr std::uint16_t kRegDdcAddress = hdtx_reg(PI_09, 0xFB);
constexpr std::uint16_t kRegDdcOffset = hdtx_reg(PI_09, 0xFC);
constexpr std::uint16_t kRegDdcSegmentAddress = hdtx_reg(PI_09, 0xFD);
constexpr std::uint16_t kRegDdcSegment = hdtx_reg(PI_09, 0xFE);
constexpr std::uint16_t kRegDdcControl = hdtx_reg(PI_12, 0x9B);
constexpr std::uint8_t kEdidDeviceAddress = 0xA0;
constexpr std::uint8_t kSegmentPointerAddress = 0x60;

std::uint16_t u16(unsigned v) {
  return static_cast<std::uint16_t>(v);
}

bool is_timing(const std::uint8_t *p) {
  return p[0] != 0 || p[1] != 0;
}

hdtx_edid_dtd decode_dtd(const std::uint8_t *p) {
  hdtx_edid_dtd t{};
  t.pixel_clock = u16(p[0] | unsigned{p[1]} << 8);
  t.h_active = u16(p[2] | (p[4] & 0xF0u) << 4);
  t.h_blanking = u16(p[3] | (p[4] & 0x0Fu) << 8);
  t.v_active = u16(p[5] | (p[7] & 0xF0u) << 4);
  t.v_blanking = u16(p[6] | (p[7] & 0x0Fu) << 8);
  t.h_sync_offset = u16(p[8] | (p[11] & 0xC0u) << 2);
  t.h_sync_width = u16(p[9] | (p[11] & 0x30u) << 4);
  t.v_sync_offset = u16(p[10] >> 4 | (p[11] & 0x0Cu) << 2);
  t.v_sync_width = u16((p[10] & 0x0Fu) | (p[11] & 0x03u) << 4);
  t.h_image_size = u16(p[12] | (p[14] & 0xF0u) << 4);
  t.v_image_size = u16(p[13] | (p[14] & 0x0Fu) << 8);
  t.h_border = p[15];
  t.v_border = p[16];
  t.flags = p[17];
  return t;
}

bool add_dtd(hdtx_edid_data &d, const std::uint8_t *p) {
  if (d.dtd_count >= HDTX_EDID_MAX_DTD)
    return false;
  d.dtd[d.dtd_count++] = decode_dtd(p);
  return true;
}

void parse_block0(hdtx_edid_data &d, const std::uint8_t *b) {
  d.block_count = b[126] + 1u;
  std::memcpy(d.basic_display, b + 20, sizeof d.basic_display);

  // Only the first two slots may hold timings; an empty one ends them.
  for (unsigned off : kBlock0TimingSlots) {
    if (!is_timing(b + off) || !add_dtd(d, b + off))
      break;
  }

  for (unsigned off = kBlock0TimingSlots[0]; off + kDtdSize <= kBlock0DescriptorEnd; off += kDtdSize) {
    const std::uint8_t *p = b + off;
    if (p[0] != 0 || p[1] != 0 || p[2] != 0)
      continue;
    if (p[3] == kTagMonitorName && d.name_count < HDTX_EDID_MAX_NAMES) {
      std::memcpy(d.names[d.name_count++].bytes, p + 5, sizeof d.names[0].bytes);
    } else if (p[3] == kTagRangeLimits && !d.range_limits_found) {
      std::memcpy(d.range_limits, p + 5, sizeof d.range_limits);
      d.range_limits_found = true;
    }
  }
}

// `p` is the vendor block's payload (after the header byte), `len` its length as far as it lies
// before the extension's timings. A later HDMI block replaces an earlier one entirely.
void parse_hdmi_vsdb(hdtx_edid_data &d, const std::uint8_t *p, unsigned len) {
  d.hdmi_found = true;
  d.vsdb_length = static_cast<std::uint8_t>(len);
  d.physical_address = u16(unsigned{p[3]} << 8 | p[4]);
  d.vsdb_capability = len > 5 ? p[5] : 0;
  d.vsdb_max_tmds = len > 6 ? p[6] : 0;
  d.vsdb_flags = len > 7 ? p[7] : 0;
  d.latency = {};
  d.extra = {};
  if (len <= 7)
    return;

  unsigned i = 8;
  if (d.vsdb_flags & 0x80) {
    if (i + 2 > len)
      return;
    d.latency.latency_present = true;
    d.latency.video_latency = p[i];
    d.latency.audio_latency = p[i + 1];
    i += 2;
  }
  if (d.vsdb_flags & 0x40) {
    if (i + 2 > len)
      return;
    d.latency.interlaced_latency_present = true;
    d.latency.interlaced_video_latency = p[i];
    d.latency.interlaced_audio_latency = p[i + 1];
    i += 2;
  }
  if (!(d.vsdb_flags & 0x20) || i >= len)
    return;
  d.extra.hdmi_video_present = true;
  d.extra.hdmi_video_flags = p[i++];
  if (i >= len)
    return;
  d.extra.hdmi_vic_length = static_cast<std::uint8_t>(p[i] >> 5);
  d.extra.hdmi_3d_length = static_cast<std::uint8_t>(p[i] & 0x1F);
  ++i;
  unsigned n = std::min<unsigned>(len - i, sizeof d.extra.following);
  std::memcpy(d.extra.following, p + i, n);
  d.extra.following_count = static_cast<std::uint8_t>(n);
}

void parse_data_block(hdtx_edid_data &d, unsigned tag, const std::uint8_t *p, unsigned len) {
  switch (tag) {
  case kDbVideo:
    for (unsigned i = 0; i < len && d.svd_count < HDTX_EDID_MAX_SVD; ++i) {
      if (p[i] != 0)
        d.svd[d.svd_count++] = p[i];
    }
    break;
  case kDbAudio:
    for (unsigned i = 0; i + 3 <= len && d.sad_count < HDTX_EDID_MAX_SAD; i += 3) {
      if (p[i] & 0x78)
        std::memcpy(d.sad[d.sad_count++].bytes, p + i, 3);
    }
    break;
  case kDbVendor:
    if (len >= 5 && p[0] == 0x03 && p[1] == 0x0C && p[2] == 0x00)
      parse_hdmi_vsdb(d, p, len);
    break;
  case kDbExtended:
    if (len >= 2 && p[0] == kExtColorimetry) {
      d.colorimetry = p[1];
      d.colorimetry_found = true;
    }
    break;
  default:
    break;
  }
}

void parse_cea(hdtx_edid_data &d, const std::uint8_t *b) {
  const unsigned dtd_start = b[2];
  d.cea_found = true;
  d.cea_flags = b[3];

  // dtd_start <= 128 keeps the walk inside the block; a block running past it is cut there.
  if (dtd_start >= 6 && dtd_start <= HDTX_EDID_BLOCK_SIZE) {
    unsigned off = kCeaDataStart;
    while (off < dtd_start) {
      const unsigned tag = b[off] >> 5;
      const unsigned len = b[off] & 0x1Fu;
      const unsigned start = off + 1;
      const unsigned end = std::min(start + len, dtd_start);
      parse_data_block(d, tag, b + start, end - start);
      off = start + len;
    }
  }

  if (dtd_start < kCeaDataStart)
    return;
  unsigned kept = 0;
  for (unsigned off = dtd_start; off < kCeaTimingLimit && kept < HDTX_EDID_MAX_DTD_PER_EXT; off += kDtdSize) {
    if (!is_timing(b + off) || !add_dtd(d, b + off))
      break;
    ++kept;
  }
}

bool wide(const hdtx_edid_dtd &t) {
  return 2u * t.h_image_size > 3u * t.v_image_size;
}
bool interlaced(const hdtx_edid_dtd &t) {
  return (t.flags & 0x80) != 0;
}

std::uint8_t pick(bool cond, unsigned yes, unsigned no) {
  return static_cast<std::uint8_t>(cond ? yes : no);
}

void end_read(hdtx_reg_unit *u) {
  hdtx_edid_data &d = u->edid;
  d.request_pending = false;
  edid_parse_done(d);
  u->sink_type = d.hdmi_found ? HDTX_SINK_HDMI : HDTX_SINK_DVI;
  set_state(u, HDTX_EV_EDID_COMPLETE);
  if (u->rx_sense_level)
    set_state(u, HDTX_EV_RX_SENSE_ACTIVE);
}

bool capabilities_ready(const hdtx_edid_data &d) {
  return d.status == HDTX_EDID_READ || d.status == HDTX_EDID_EXT_CHECKSUM;
}

// The unit of a capability getter: checked, and with a usable EDID.
hdtx_err caps_unit(unsigned unit, hdtx_reg_unit **u) {
  hdtx_err err = check_unit(unit, u);
  if (err != HDTX_OK)
    return err;
  return capabilities_ready((*u)->edid) ? HDTX_OK : HDTX_REG_ERR_NOT_ALLOWED;
}

} // namespace

void edid_reset_results(hdtx_edid_data &d) {
  const bool pending = d.request_pending;
  const std::uint8_t index = d.block_index;
  std::uint8_t *const raw = d.raw_buffer;
  const unsigned capacity = d.raw_capacity_blocks;
  d = hdtx_edid_data{};
  d.request_pending = pending;
  d.block_index = index;
  d.raw_buffer = raw;
  d.raw_capacity_blocks = capacity;
  d.status = HDTX_EDID_NOT_READ;
}

void edid_parse_block(hdtx_edid_data &d, unsigned index, const std::uint8_t *block) {
  if (block == nullptr)
    return;
  // Nothing after a bad block 0 is trusted.
  if (index > 0 && d.status == HDTX_EDID_BLOCK0_CHECKSUM)
    return;

  unsigned sum = 0;
  for (unsigned i = 0; i < HDTX_EDID_BLOCK_SIZE; ++i)
    sum += block[i];
  if ((sum & 0xFFu) != 0) {
    if (index == 0) {
      d.status = HDTX_EDID_BLOCK0_CHECKSUM;
      return;
    }
    d.status = HDTX_EDID_EXT_CHECKSUM;
  }

  if (d.raw_buffer != nullptr && index < d.raw_capacity_blocks)
    std::memcpy(d.raw_buffer + static_cast<std::size_t>(index) * HDTX_EDID_BLOCK_SIZE, block,
                HDTX_EDID_BLOCK_SIZE);

  if (index == 0)
    parse_block0(d, block);
  else if (block[0] == kTagCea)
    parse_cea(d, block);
  // A block map (0xF0) and extensions of other kinds carry nothing the device uses.
}

void edid_parse_done(hdtx_edid_data &d) {
  if (d.status != HDTX_EDID_BLOCK0_CHECKSUM && d.status != HDTX_EDID_EXT_CHECKSUM)
    d.status = HDTX_EDID_READ;
}

std::uint8_t edid_dtd_to_cea(const hdtx_edid_dtd &t) {
  const bool w = wide(t);
  const bool i = interlaced(t);
  switch (t.h_active) {
  case 640:
    return pick(t.v_active == 480, 1, 0);
  case 720:
    if (t.v_active == 480)
      return pick(w, 3, 2);
    if (t.v_active == 576)
      return pick(w, 18, 17);
    return 0;
  case 1280:
    if (t.v_active != 720)
      return 0;
    if (t.h_blanking == 370)
      return 4;
    if (t.h_blanking == 700)
      return 19;
    return 0;
  case 1920:
    switch (t.h_blanking) {
    case 280:
      if (i)
        return 5;
      return pick(t.pixel_clock == 14850, 16, 34);
    case 720:
      if (i)
        return 20;
      if (t.pixel_clock == 7425)
        return 33;
      if (t.pixel_clock == 14850)
        return 31;
      return 0;
    case 830:
      return 32;
    default:
      return 0;
    }
  case 1440:
    switch (t.v_active) {
    case 240:
      return i ? pick(w, 7, 6) : pick(w, 9, 8);
    case 288:
      return i ? pick(w, 22, 21) : pick(w, 24, 23);
    case 480:
      return pick(w, 15, 14);
    case 576:
      return pick(w, 30, 29);
    default:
      return 0;
    }
  case 2880:
    switch (t.v_active) {
    case 240:
      return i ? pick(w, 11, 10) : pick(w, 13, 12);
    case 288:
      return i ? pick(w, 26, 25) : pick(w, 28, 27);
    default:
      return 0;
    }
  default:
    return 0;
  }
}

std::uint8_t edid_video_flags(const hdtx_edid_data &d) {
  const std::uint8_t cea = d.cea_found ? d.cea_flags : 0;
  unsigned flags = 0;
  if (cea & 0x80)
    flags |= HDTX_VCAP_UNDERSCAN;
  if (cea & 0x20)
    flags |= HDTX_VCAP_YCBCR444;
  if (cea & 0x10)
    flags |= HDTX_VCAP_YCBCR422;
  if (d.colorimetry_found)
    flags |= d.colorimetry & HDTX_VCAP_COLORIMETRY_MASK;
  return static_cast<std::uint8_t>(flags);
}

void edid_video_caps(const hdtx_edid_data &d, hdtx_video_cap *list, unsigned max, unsigned *count,
                     std::uint8_t *flags) {
  const unsigned room = list != nullptr ? max : 0;
  unsigned n = 0;
  auto push = [&](std::uint8_t code, bool native) {
    if (n < room)
      list[n++] = hdtx_video_cap{code, native};
  };
  const unsigned dtds = std::min<unsigned>(d.dtd_count, HDTX_EDID_MAX_DTD);
  if (dtds > 0)
    push(edid_dtd_to_cea(d.dtd[0]), false);
  for (unsigned i = 0; i < std::min<unsigned>(d.svd_count, HDTX_EDID_MAX_SVD); ++i)
    push(static_cast<std::uint8_t>(d.svd[i] & 0x7F), (d.svd[i] & 0x80) != 0);
  for (unsigned i = 1; i < dtds; ++i)
    push(edid_dtd_to_cea(d.dtd[i]), false);
  if (count != nullptr)
    *count = n;
  if (flags != nullptr)
    *flags = edid_video_flags(d);
}

hdtx_err edid_read_block(hdtx_reg_unit *u, unsigned n) {
  if (u == nullptr || n > HDTX_EDID_MAX_BLOCK_INDEX)
    return HDTX_REG_ERR_BAD_PARAMETER;
  const std::array<hdtx_reg_field, 6> seq{{
      {kRegDdcAddress, 0xFF, kEdidDeviceAddress},
      {kRegDdcOffset, 0xFF, static_cast<std::uint8_t>(n & 1u ? 0x80 : 0x00)},
      {kRegDdcSegmentAddress, 0xFF, kSegmentPointerAddress},
      {kRegDdcSegment, 0xFF, static_cast<std::uint8_t>(n / 2)},
      {kRegDdcStart, 0xFF, 1},
      {kRegDdcStart, 0xFF, 0},
  }};
  for (const hdtx_reg_field &f : seq) {
    hdtx_err err = set_hw_register(u, f.spec, f.value);
    if (err != HDTX_OK)
      return err;
  }
  return HDTX_OK;
}

hdtx_err edid_block_available(hdtx_reg_unit *u, bool *complete) {
  if (complete != nullptr)
    *complete = false;
  if (u == nullptr)
    return HDTX_REG_ERR_BAD_PARAMETER;
  hdtx_edid_data &d = u->edid;
  if (!d.request_pending)
    return HDTX_OK;

  std::array<std::uint8_t, HDTX_EDID_BLOCK_SIZE> block{};
  hdtx_err err = get_hw_registers(u, kRegEdidData, block.data(), static_cast<std::uint8_t>(block.size()));
  if (err != HDTX_OK) {
    // The chip interrupts once per block: without a new read of the same block, one bus glitch
    // would leave the request pending until the sink is unplugged.
    (void)edid_read_block(u, d.block_index);
    return err;
  }
  edid_parse_block(d, d.block_index, block.data());

  const unsigned blocks = std::min(d.block_count, HDTX_EDID_MAX_BLOCK_INDEX + 1);
  if (d.status != HDTX_EDID_BLOCK0_CHECKSUM && d.block_index + 1u < blocks) {
    ++d.block_index;
    return edid_read_block(u, d.block_index);
  }
  end_read(u);
  if (complete != nullptr)
    *complete = true;
  return HDTX_OK;
}

void clear_edid_request(hdtx_reg_unit *u) {
  if (u == nullptr)
    return;
  hdtx_edid_data &d = u->edid;
  d.request_pending = false;
  d.block_index = 0;
  d.raw_buffer = nullptr;
  d.raw_capacity_blocks = 0;
  edid_reset_results(d);
}

hdtx_err hdtx_reg_edid_request_block_data(unsigned unit, std::uint8_t *buffer, unsigned blocks,
                                          unsigned size) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = check_unit(unit, &u);
  if (err != HDTX_OK)
    return err;
  if (buffer != nullptr) {
    if (size < HDTX_EDID_BLOCK_SIZE)
      return HDTX_REG_ERR_BAD_PARAMETER;
    if (blocks < 1 || blocks > 255)
      return HDTX_REG_ERR_RANGE;
    if (size / HDTX_EDID_BLOCK_SIZE < blocks)
      return HDTX_REG_ERR_BAD_PARAMETER;
  }
  if (u->hot_plug_level == 0)
    return HDTX_REG_ERR_NO_SINK;
  hdtx_edid_data &d = u->edid;
  if (d.request_pending)
    return HDTX_REG_ERR_NOT_ALLOWED;

  err = set_hw_register_field(u, kRegDdcControl, 0x02, 0);
  if (err == HDTX_OK)
    err = set_hw_register(u, REG_INT_FLAGS_2, 0x02);
  if (err != HDTX_OK)
    return err;

  d.request_pending = true;
  d.block_index = 0;
  d.raw_buffer = buffer;
  d.raw_capacity_blocks = buffer != nullptr ? blocks : 0;
  edid_reset_results(d);

  err = set_hw_register(u, REG_INT_FLAGS_0, 0x04);
  if (err == HDTX_OK)
    err = edid_read_block(u, 0);
  // A read that never started would otherwise stay pending and refuse every later request.
  if (err != HDTX_OK) {
    d.request_pending = false;
    d.raw_buffer = nullptr;
    d.raw_capacity_blocks = 0;
  }
  return err;
}

hdtx_err hdtx_reg_edid_get_status(unsigned unit, std::uint8_t *status, unsigned *block_count) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = check_unit(unit, &u);
  if (err != HDTX_OK)
    return err;
  if (status == nullptr || block_count == nullptr)
    return HDTX_REG_ERR_BAD_PARAMETER;
  *status = u->edid.status;
  *block_count = u->edid.block_count;
  return HDTX_OK;
}

hdtx_err hdtx_reg_edid_get_block_count(unsigned unit, unsigned *block_count) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = check_unit(unit, &u);
  if (err != HDTX_OK)
    return err;
  if (block_count == nullptr)
    return HDTX_REG_ERR_BAD_PARAMETER;
  *block_count = u->edid.block_count;
  return HDTX_OK;
}

hdtx_err hdtx_reg_edid_get_video_capabilities(unsigned unit, std::uint8_t *svd, unsigned max, unsigned *count,
                                              std::uint8_t *flags) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = caps_unit(unit, &u);
  if (err != HDTX_OK)
    return err;
  if ((svd == nullptr && max > 0) || count == nullptr || flags == nullptr)
    return HDTX_REG_ERR_BAD_PARAMETER;
  const hdtx_edid_data &d = u->edid;
  const unsigned n = std::min<unsigned>(max, d.svd_count);
  if (n > 0)
    std::memcpy(svd, d.svd, n);
  *count = n;
  *flags = edid_video_flags(d);
  return HDTX_OK;
}

hdtx_err hdtx_reg_edid_get_audio_capabilities(unsigned unit, hdtx_edid_sad *sad, unsigned max,
                                              unsigned *count, std::uint8_t *cea_flags) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = caps_unit(unit, &u);
  if (err != HDTX_OK)
    return err;
  if ((sad == nullptr && max > 0) || count == nullptr || cea_flags == nullptr)
    return HDTX_REG_ERR_BAD_PARAMETER;
  const hdtx_edid_data &d = u->edid;
  const unsigned n = std::min<unsigned>(max, d.sad_count);
  std::copy_n(d.sad, n, sad);
  *count = n;
  *cea_flags = d.cea_found ? d.cea_flags : 0;
  return HDTX_OK;
}

hdtx_err hdtx_reg_edid_get_sink_type(unsigned unit, unsigned *sink_type) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = caps_unit(unit, &u);
  if (err != HDTX_OK)
    return err;
  if (sink_type == nullptr)
    return HDTX_REG_ERR_BAD_PARAMETER;
  *sink_type = u->edid.hdmi_found ? HDTX_SINK_HDMI : HDTX_SINK_DVI;
  return HDTX_OK;
}

hdtx_err hdtx_reg_edid_get_source_address(unsigned unit, std::uint16_t *address) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = caps_unit(unit, &u);
  if (err != HDTX_OK)
    return err;
  if (address == nullptr)
    return HDTX_REG_ERR_BAD_PARAMETER;
  // Without an HDMI block the sink gave no address; 0.0.0.0 would claim the television's.
  *address = u->edid.hdmi_found ? u->edid.physical_address : HDTX_EDID_NO_ADDRESS;
  return HDTX_OK;
}

hdtx_err hdtx_reg_edid_get_detailed_timing_descriptors(unsigned unit, hdtx_edid_dtd *list, unsigned max,
                                                       unsigned *count) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = caps_unit(unit, &u);
  if (err != HDTX_OK)
    return err;
  if ((list == nullptr && max > 0) || count == nullptr)
    return HDTX_REG_ERR_BAD_PARAMETER;
  const unsigned n = std::min<unsigned>(max, u->edid.dtd_count);
  std::copy_n(u->edid.dtd, n, list);
  *count = n;
  return HDTX_OK;
}

hdtx_err hdtx_reg_edid_get_monitor_descriptors(unsigned unit, hdtx_edid_monitor_descs *descs) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = caps_unit(unit, &u);
  if (err != HDTX_OK)
    return err;
  if (descs == nullptr)
    return HDTX_REG_ERR_BAD_PARAMETER;
  const hdtx_edid_data &d = u->edid;
  *descs = hdtx_edid_monitor_descs{};
  std::copy_n(d.names, HDTX_EDID_MAX_NAMES, descs->names);
  descs->name_count = d.name_count;
  std::memcpy(descs->range_limits, d.range_limits, sizeof descs->range_limits);
  descs->range_limits_found = d.range_limits_found;
  return HDTX_OK;
}

hdtx_err hdtx_reg_edid_get_basic_display_param(unsigned unit, std::array<std::uint8_t, 5> *params) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = caps_unit(unit, &u);
  if (err != HDTX_OK)
    return err;
  if (params == nullptr)
    return HDTX_REG_ERR_BAD_PARAMETER;
  std::copy_n(u->edid.basic_display, params->size(), params->begin());
  return HDTX_OK;
}

hdtx_err hdtx_reg_edid_get_video_preferred(unsigned unit, hdtx_edid_dtd *timing, bool *found) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = caps_unit(unit, &u);
  if (err != HDTX_OK)
    return err;
  if (timing == nullptr || found == nullptr)
    return HDTX_REG_ERR_BAD_PARAMETER;
  *found = u->edid.dtd_count > 0;
  *timing = *found ? u->edid.dtd[0] : hdtx_edid_dtd{};
  return HDTX_OK;
}

hdtx_err hdtx_reg_edid_get_latency_info(unsigned unit, hdtx_edid_latency *latency) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = caps_unit(unit, &u);
  if (err != HDTX_OK)
    return err;
  if (latency == nullptr)
    return HDTX_REG_ERR_BAD_PARAMETER;
  *latency = u->edid.latency;
  return HDTX_OK;
}

hdtx_err hdtx_reg_edid_get_extra_vsdb_data(unsigned unit, hdtx_edid_extra_vsdb *extra) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = caps_unit(unit, &u);
  if (err != HDTX_OK)
    return err;
  if (extra == nullptr)
    return HDTX_REG_ERR_BAD_PARAMETER;
  *extra = u->edid.extra;
  return HDTX_OK;
}
