// Synthetic EDIDs for what no real dump shows: corrupt blocks, limits, lengths that point past the
// block, and the DTD-to-CEA table at its edges.
#include "edid_corpus.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <vector>

namespace {

using namespace edid_test;

hdtx_edid_dtd timing(unsigned clock, unsigned h_active, unsigned h_blank, unsigned v_active, unsigned h_mm,
                     unsigned v_mm, bool interlaced) {
  hdtx_edid_dtd t{};
  t.pixel_clock = static_cast<std::uint16_t>(clock);
  t.h_active = static_cast<std::uint16_t>(h_active);
  t.h_blanking = static_cast<std::uint16_t>(h_blank);
  t.v_active = static_cast<std::uint16_t>(v_active);
  t.h_image_size = static_cast<std::uint16_t>(h_mm);
  t.v_image_size = static_cast<std::uint16_t>(v_mm);
  t.flags = interlaced ? 0x9E : 0x1E;
  return t;
}

struct CeaRow {
  unsigned clock, h_active, h_blank, v_active, h_mm, v_mm;
  bool interlaced;
  unsigned code;
};

// The codes the reference corpus does not reach, and the edges of each test.
TEST(EdidDtdToCea, Table) {
  const CeaRow rows[] = {
      {2517, 640, 160, 400, 400, 300, false, 0},
      // "wide" is width/height above 1.5 exactly: 480x320 mm is not, 481x320 is.
      {2700, 720, 138, 480, 480, 320, false, 2},
      {2700, 720, 138, 480, 481, 320, false, 3},
      {2700, 720, 144, 400, 1600, 900, false, 0},
      {7425, 1280, 400, 720, 1600, 900, false, 0},
      {7425, 1280, 370, 768, 1600, 900, false, 0},
      {7425, 1920, 280, 1080, 1600, 900, false, 34},
      {14850, 1920, 720, 1080, 1600, 900, false, 31},
      {14800, 1920, 720, 1080, 1600, 900, false, 0},
      {7425, 1920, 830, 540, 1600, 900, true, 32},
      {14850, 1920, 280, 2160, 1600, 900, false, 16}, // the line count of 1920-wide timings is not looked at
      {13850, 1920, 160, 1080, 1600, 900, false, 0},
      {2700, 1440, 276, 240, 1600, 900, true, 7},
      {2700, 1440, 276, 240, 400, 300, false, 8},
      {2700, 1440, 288, 288, 400, 300, false, 23},
      {2700, 1440, 288, 288, 1600, 900, false, 24},
      {5400, 1440, 276, 480, 400, 300, false, 14},
      {5400, 1440, 276, 480, 1600, 900, false, 15},
      {5400, 1440, 288, 576, 400, 300, false, 29},
      {5400, 1440, 288, 576, 1600, 900, false, 30},
      {5400, 1440, 288, 900, 1600, 900, false, 0},
      {5400, 2880, 552, 240, 400, 300, true, 10},
      {5400, 2880, 552, 240, 1600, 900, true, 11},
      {5400, 2880, 552, 240, 400, 300, false, 12},
      {5400, 2880, 552, 240, 1600, 900, false, 13},
      {5400, 2880, 576, 288, 400, 300, true, 25},
      {5400, 2880, 576, 288, 1600, 900, true, 26},
      {5400, 2880, 576, 288, 400, 300, false, 27},
      {5400, 2880, 576, 288, 1600, 900, false, 28},
      {5400, 2880, 576, 480, 1600, 900, false, 0},
      {10650, 1440, 464, 900, 410, 260, false, 0},
      {0, 0, 0, 0, 0, 0, false, 0},
  };
  for (const CeaRow &r : rows) {
    SCOPED_TRACE(std::to_string(r.h_active) + "x" + std::to_string(r.v_active) + (r.interlaced ? "i" : "p") +
                 " blank " + std::to_string(r.h_blank) + " clock " + std::to_string(r.clock) + " " +
                 std::to_string(r.h_mm) + "x" + std::to_string(r.v_mm) + " mm");
    EXPECT_EQ(
        edid_dtd_to_cea(timing(r.clock, r.h_active, r.h_blank, r.v_active, r.h_mm, r.v_mm, r.interlaced)),
        r.code);
  }
}

const std::vector<std::uint8_t> k1080p = make_dtd(14850, 1920, 280, 1080, 45, 1600, 900, false);
const std::vector<std::uint8_t> k720p = make_dtd(7425, 1280, 370, 720, 30, 1600, 900, false);
const std::vector<std::uint8_t> k576p = make_dtd(2700, 720, 144, 576, 49, 1600, 900, false);

Block block0_with(unsigned extensions, const std::vector<std::vector<std::uint8_t>> &dtds) {
  Block b = make_block0(extensions);
  unsigned off = 54;
  for (const auto &t : dtds) {
    std::copy(t.begin(), t.end(), b.begin() + static_cast<std::ptrdiff_t>(off));
    off += 18;
  }
  fix_checksum(b);
  return b;
}

Block cea(const std::vector<std::uint8_t> &data, const std::vector<std::vector<std::uint8_t>> &dtds = {},
          std::uint8_t flags = 0) {
  Block b = make_cea(data, dtds, flags);
  fix_checksum(b);
  return b;
}

std::vector<std::uint8_t> join(const std::vector<Block> &blocks) {
  std::vector<std::uint8_t> out;
  for (const Block &b : blocks)
    out.insert(out.end(), b.begin(), b.end());
  return out;
}

std::vector<std::pair<unsigned, bool>> caps_of(const hdtx_edid_data &d) {
  std::array<hdtx_video_cap, 255> caps{};
  unsigned n = 0;
  edid_video_caps(d, caps.data(), static_cast<unsigned>(caps.size()), &n, nullptr);
  std::vector<std::pair<unsigned, bool>> out;
  for (unsigned i = 0; i < n; ++i)
    out.emplace_back(caps[i].code, caps[i].native);
  return out;
}

TEST(EdidChecksum, CorruptBlock0EndsWithNoCapabilities) {
  Block b0 = block0_with(1, {k1080p});
  b0[60] ^= 0x01;
  std::vector<std::uint8_t> raw(256, 0xEE);
  hdtx_edid_data d{};
  d.raw_buffer = raw.data();
  d.raw_capacity_blocks = 2;
  edid_reset_results(d);
  edid_parse_block(d, 0, b0.data());
  const Block ext = cea({0x42, 0x90, 0x04, 0x63, 0x03, 0x0C, 0x00, 0x10, 0x00});
  edid_parse_block(d, 1, ext.data()); // whatever comes after is not trusted
  edid_parse_done(d);

  EXPECT_EQ(d.status, HDTX_EDID_BLOCK0_CHECKSUM);
  EXPECT_EQ(d.dtd_count, 0u);
  EXPECT_EQ(d.svd_count, 0u);
  EXPECT_FALSE(d.hdmi_found);
  EXPECT_TRUE(caps_of(d).empty());
  EXPECT_TRUE(std::all_of(raw.begin(), raw.end(), [](std::uint8_t v) { return v == 0xEE; }));
}

TEST(EdidChecksum, CorruptExtensionKeepsItsData) {
  Block ext = cea({0x42, 0x90, 0x04, 0x65, 0x03, 0x0C, 0x00, 0x21, 0x00}, {k720p}, 0xF0);
  ext[127] ^= 0x55;
  const hdtx_edid_data d = parse_all(join({block0_with(1, {k1080p}), ext}));
  EXPECT_EQ(d.status, HDTX_EDID_EXT_CHECKSUM);
  EXPECT_TRUE(d.hdmi_found);
  EXPECT_EQ(d.physical_address, 0x2100);
  EXPECT_EQ(caps_of(d),
            (std::vector<std::pair<unsigned, bool>>{{16, false}, {16, true}, {4, false}, {4, false}}));
}

TEST(EdidRawBuffer, BlocksBeyondCapacityAreNotCopied) {
  const std::vector<std::uint8_t> bin =
      join({block0_with(2, {k1080p}), cea({0x41, 0x90}), cea({0x41, 0x84})});
  std::vector<std::uint8_t> raw(3 * 128, 0xEE);
  const hdtx_edid_data d = parse_all(bin, raw.data(), 2);
  EXPECT_TRUE(std::equal(bin.begin(), bin.begin() + 256, raw.begin()));
  EXPECT_TRUE(std::all_of(raw.begin() + 256, raw.end(), [](std::uint8_t v) { return v == 0xEE; }));
  // The third block is parsed all the same.
  EXPECT_EQ(std::vector<std::uint8_t>(d.svd, d.svd + d.svd_count), (std::vector<std::uint8_t>{0x90, 0x84}));
}

TEST(EdidBlock0, OnlyBlockGivesFirstTimingAsVideoList) {
  const hdtx_edid_data d = parse_all(block0_with(0, {k1080p, k720p}));
  EXPECT_EQ(d.status, HDTX_EDID_READ);
  EXPECT_EQ(d.block_count, 1u);
  EXPECT_EQ(d.svd_count, 0u);
  EXPECT_FALSE(d.cea_found);
  EXPECT_EQ(caps_of(d), (std::vector<std::pair<unsigned, bool>>{{16, false}, {4, false}}));
}

TEST(EdidBlock0, EmptyFirstSlotEndsTheTimings) {
  Block b0 = make_block0(0);
  std::copy(k720p.begin(), k720p.end(), b0.begin() + 72);
  fix_checksum(b0);
  const hdtx_edid_data d = parse_all(b0);
  EXPECT_EQ(d.dtd_count, 0u);
  EXPECT_TRUE(caps_of(d).empty());
}

TEST(EdidBlock0, MonitorDescriptors) {
  Block b0 = make_block0(0);
  const std::uint8_t name1[] = {0,   0,   0,   0xFC, 0,   'A', 'B', 'C', '\n',
                                ' ', ' ', ' ', ' ',  ' ', ' ', ' ', ' ', ' '};
  const std::uint8_t range[] = {0, 0, 0, 0xFD, 0, 50, 75, 30, 80, 15, 0, 10, 32, 32, 32, 32, 32, 32};
  const std::uint8_t range2[] = {0, 0, 0, 0xFD, 0, 1, 2, 3, 4, 5, 0, 10, 32, 32, 32, 32, 32, 32};
  std::copy(std::begin(k1080p), std::end(k1080p), b0.begin() + 54);
  std::copy(std::begin(name1), std::end(name1), b0.begin() + 72);
  std::copy(std::begin(range), std::end(range), b0.begin() + 90);
  std::copy(std::begin(range2), std::end(range2), b0.begin() + 108);
  fix_checksum(b0);
  const hdtx_edid_data d = parse_all(b0);
  EXPECT_EQ(d.dtd_count, 1u);
  ASSERT_EQ(d.name_count, 1u);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(d.names[0].bytes), 4), "ABC\n");
  ASSERT_TRUE(d.range_limits_found);
  EXPECT_EQ(std::vector<std::uint8_t>(d.range_limits, d.range_limits + 5),
            (std::vector<std::uint8_t>{50, 75, 30, 80, 15}));
}

TEST(EdidCea, ShortDescriptors) {
  // SVDs: zero bytes skipped, bit 7 native. SADs: format 0 dropped, a trailing partial one ignored.
  const hdtx_edid_data d =
      parse_all(join({block0_with(1, {}), cea({0x44, 0x90, 0x00, 0x04, 0xDB, 0x2A, 0x09, 0x07, 0x07, 0x00,
                                               0x05, 0x06, 0x15, 0x07, 0x50, 0x3F})}));
  EXPECT_EQ(std::vector<std::uint8_t>(d.svd, d.svd + d.svd_count),
            (std::vector<std::uint8_t>{0x90, 0x04, 0xDB}));
  EXPECT_EQ(caps_of(d), (std::vector<std::pair<unsigned, bool>>{{16, true}, {4, false}, {91, true}}));
  ASSERT_EQ(d.sad_count, 2u);
  EXPECT_EQ(d.sad[0].bytes[0], 0x09);
  EXPECT_EQ(d.sad[1].bytes[0], 0x15);
}

TEST(EdidCea, LimitsHoldAcrossExtensions) {
  // Four extensions of 30 SVDs, 10 SADs and 3 timings each, after two timings in block 0.
  std::vector<std::uint8_t> data{0x5E};
  for (int i = 0; i < 30; ++i)
    data.push_back(static_cast<std::uint8_t>(1 + i));
  data.push_back(0x3E);
  for (int i = 0; i < 10; ++i)
    data.insert(data.end(), {0x09, 0x07, 0x07});
  const Block ext = cea(data, {k1080p, k720p, k576p});
  ASSERT_EQ(ext[2], 66);
  const hdtx_edid_data d = parse_all(join({block0_with(4, {k1080p, k720p}), ext, ext, ext, ext}));
  EXPECT_EQ(d.svd_count, HDTX_EDID_MAX_SVD);
  EXPECT_EQ(d.svd[HDTX_EDID_MAX_SVD - 1], 23); // 30 + 30 + 30 + 23
  EXPECT_EQ(d.sad_count, HDTX_EDID_MAX_SAD);
  EXPECT_EQ(d.dtd_count, HDTX_EDID_MAX_DTD);
  EXPECT_EQ(caps_of(d).size(), HDTX_EDID_MAX_SVD + HDTX_EDID_MAX_DTD);
}

TEST(EdidCea, TimingSlotsEndBelowOffset111) {
  // d = 4: slots at 4, 22, ..., 94.
  const hdtx_edid_data d6 =
      parse_all(join({block0_with(1, {}), cea({}, {k720p, k720p, k720p, k720p, k720p, k720p})}));
  EXPECT_EQ(d6.dtd_count, 6u);
  // d = 93: slots at 93 (kept) and 111 (never decoded, although it holds a clock).
  std::vector<std::uint8_t> data{0x7F};
  data.resize(32, 0x11);
  data.push_back(0x7F);
  data.resize(64, 0x11);
  data.push_back(0x58); // video block of 24 SVDs
  data.resize(89, 0x02);
  Block ext = make_cea(data, {});
  ASSERT_EQ(ext[2], 93);
  std::copy(k720p.begin(), k720p.end(), ext.begin() + 93);
  std::copy(k1080p.begin(), k1080p.begin() + 16, ext.begin() + 111);
  fix_checksum(ext);
  const hdtx_edid_data d = parse_all(join({block0_with(1, {}), ext}));
  EXPECT_EQ(d.svd_count, 24u);
  ASSERT_EQ(d.dtd_count, 1u);
  EXPECT_EQ(d.dtd[0].h_active, 1280);
}

TEST(EdidCea, TimingOffsetOutsideDataRange) {
  struct Row {
    std::uint8_t d;
    unsigned timings;
    bool data_walked;
  };
  // d below 4: no timings; 4 and 5: timings but no data blocks; above 128: nothing at all.
  for (Row r : {Row{0, 0, false}, Row{3, 0, false}, Row{4, 1, false}, Row{5, 1, false}, Row{6, 1, true},
                Row{129, 0, false}, Row{255, 0, false}}) {
    SCOPED_TRACE("d = " + std::to_string(r.d));
    Block ext(128, 0);
    ext[0] = 0x02;
    ext[1] = 0x03;
    ext[2] = r.d;
    ext[3] = 0x70;
    ext[4] = 0x41; // a video block of one SVD
    ext[5] = 0x90;
    if (r.d >= 4 && r.d < 111)
      std::copy(k720p.begin(), k720p.end(), ext.begin() + r.d % 128);
    fix_checksum(ext);
    const hdtx_edid_data d = parse_all(join({block0_with(1, {}), ext}));
    EXPECT_EQ(d.dtd_count, r.timings);
    EXPECT_EQ(d.svd_count, r.data_walked ? 1u : 0u);
    EXPECT_TRUE(d.cea_found);
    EXPECT_EQ(d.cea_flags, 0x70); // kept for any d
  }
}

TEST(EdidCea, DataBlockRunningPastTimingsIsCut) {
  // A video block claiming 10 bytes where only 3 lie before d: the timing bytes are not SVDs.
  Block ext = make_cea({0x4A, 0x90, 0x84, 0x85}, {k720p});
  fix_checksum(ext);
  const hdtx_edid_data d = parse_all(join({block0_with(1, {}), ext}));
  EXPECT_EQ(std::vector<std::uint8_t>(d.svd, d.svd + d.svd_count),
            (std::vector<std::uint8_t>{0x90, 0x84, 0x85}));
  EXPECT_EQ(d.dtd_count, 1u);
}

TEST(EdidCea, HeaderInTheLastByteStaysInsideTheBlock) {
  // d = 128 with a header of length 31 at offset 127: its payload would lie past the block.
  Block ext(128, 0x01);
  ext[0] = 0x02;
  ext[1] = 0x03;
  ext[2] = 128;
  ext[3] = 0;
  ext[4] = 0x40 | 30;  // video, 30 bytes: 5..34
  ext[35] = 0x20 | 31; // audio, 31 bytes: 36..66
  ext[67] = 0x60 | 31; // vendor, 31 bytes: 68..98
  ext[99] = 0xE0 | 27; // extended, 27 bytes: 100..126
  ext[127] = 0x5F;     // video, 31 bytes past the end
  // The checksum byte doubles as the last header here; balance the sum in byte 126 instead.
  unsigned sum = 0;
  for (unsigned i = 0; i < 128; ++i)
    if (i != 126)
      sum += ext[i];
  ext[126] = static_cast<std::uint8_t>((256 - sum % 256) % 256);
  const hdtx_edid_data d = parse_all(join({block0_with(1, {}), ext}));
  EXPECT_EQ(d.status, HDTX_EDID_READ);
  EXPECT_EQ(d.svd_count, 30u);
  EXPECT_EQ(d.dtd_count, 0u);
}

TEST(EdidVendorBlock, SinkType) {
  struct Row {
    const char *what;
    std::vector<std::uint8_t> block;
    bool hdmi;
    std::uint16_t address;
  };
  const Row rows[] = {
      {"HDMI", {0x65, 0x03, 0x0C, 0x00, 0x12, 0x34}, true, 0x1234},
      {"other identifier", {0x65, 0x1A, 0x00, 0x00, 0x12, 0x34}, false, 0},
      {"HDMI identifier, length 4", {0x64, 0x03, 0x0C, 0x00, 0x12}, false, 0},
      {"HDMI identifier, length 3", {0x63, 0x03, 0x0C, 0x00}, false, 0},
      {"two HDMI blocks: the last counts",
       {0x65, 0x03, 0x0C, 0x00, 0x10, 0x00, 0x65, 0x03, 0x0C, 0x00, 0x20, 0x00},
       true,
       0x2000},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.what);
    const hdtx_edid_data d = parse_all(join({block0_with(1, {}), cea(r.block)}));
    EXPECT_EQ(d.hdmi_found, r.hdmi);
    if (r.hdmi) {
      EXPECT_EQ(d.physical_address, r.address);
    }
  }
}

TEST(EdidVendorBlock, LatencyAndHdmiVideoFields) {
  // Latencies (progressive and interlaced), HDMI video present, VIC length 2, 3D length 1.
  const std::vector<std::uint8_t> vsdb{0x71, 0x03, 0x0C, 0x00, 0x10, 0x00, 0xB8, 0x3C, 0xE0,
                                       0x11, 0x12, 0x21, 0x22, 0x80, 0x41, 0x01, 0x02, 0x03};
  ASSERT_EQ(vsdb.size(), 1u + 0x11);
  hdtx_edid_data d = parse_all(join({block0_with(1, {}), cea(vsdb)}));
  EXPECT_EQ(d.vsdb_capability, 0xB8);
  EXPECT_EQ(d.vsdb_max_tmds, 0x3C);
  EXPECT_TRUE(d.latency.latency_present);
  EXPECT_TRUE(d.latency.interlaced_latency_present);
  EXPECT_EQ(d.latency.video_latency, 0x11);
  EXPECT_EQ(d.latency.audio_latency, 0x12);
  EXPECT_EQ(d.latency.interlaced_video_latency, 0x21);
  EXPECT_EQ(d.latency.interlaced_audio_latency, 0x22);
  EXPECT_TRUE(d.extra.hdmi_video_present);
  EXPECT_EQ(d.extra.hdmi_video_flags, 0x80);
  EXPECT_EQ(d.extra.hdmi_vic_length, 2u);
  EXPECT_EQ(d.extra.hdmi_3d_length, 1u);
  EXPECT_EQ(std::vector<std::uint8_t>(d.extra.following, d.extra.following + d.extra.following_count),
            (std::vector<std::uint8_t>{0x01, 0x02, 0x03}));

  // The same flags in a block that ends after the first latency byte: nothing half-read is kept.
  std::vector<std::uint8_t> cut(vsdb.begin(), vsdb.begin() + 10);
  cut[0] = 0x69;
  d = parse_all(join({block0_with(1, {}), cea(cut)}));
  EXPECT_TRUE(d.hdmi_found);
  EXPECT_FALSE(d.latency.latency_present);
  EXPECT_FALSE(d.extra.hdmi_video_present);
}

TEST(EdidCea, ColorimetryAndVideoFlags) {
  // Extended block: colorimetry (tag 5) 0x03, another extended tag ignored; flags underscan, 4:4:4.
  const hdtx_edid_data d =
      parse_all(join({block0_with(1, {k1080p}), cea({0xE3, 0x05, 0x03, 0x00, 0xE2, 0x06, 0x01}, {}, 0xA0)}));
  EXPECT_TRUE(d.colorimetry_found);
  EXPECT_EQ(d.colorimetry, 0x03);
  std::uint8_t flags = 0;
  unsigned n = 0;
  edid_video_caps(d, nullptr, 0, &n, &flags);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(flags, 0x80 | 0x40 | 0x03);
}

TEST(EdidVideoCaps, StopsAtMax) {
  const hdtx_edid_data d = parse_all(join({block0_with(1, {k1080p, k720p}), cea({0x43, 0x90, 0x84, 0x91})}));
  std::array<hdtx_video_cap, 3> caps{};
  caps.fill(hdtx_video_cap{0xAA, false});
  unsigned n = 99;
  edid_video_caps(d, caps.data(), 2, &n, nullptr);
  EXPECT_EQ(n, 2u);
  EXPECT_EQ(caps[0].code, 16);
  EXPECT_EQ(caps[1].code, 16);
  EXPECT_TRUE(caps[1].native);
  EXPECT_EQ(caps[2].code, 0xAA); // untouched
}

TEST(EdidExtensions, BlockMapAndUnknownTagsAreSkipped) {
  Block map(128, 0);
  map[0] = 0xF0;
  map[1] = 0x02;
  map[2] = 0x41; // would read as a video block if mistaken for CEA data
  fix_checksum(map);
  Block other = cea({0x41, 0x90});
  other[0] = 0x40;
  fix_checksum(other);
  const hdtx_edid_data d = parse_all(join({block0_with(3, {}), map, other, cea({0x41, 0x84})}));
  EXPECT_EQ(std::vector<std::uint8_t>(d.svd, d.svd + d.svd_count), (std::vector<std::uint8_t>{0x84}));
}

TEST(EdidReset, ClearsResultsButNotTheRequest) {
  std::array<std::uint8_t, 128> raw{};
  hdtx_edid_data d =
      parse_all(join({block0_with(1, {k1080p}), cea({0x41, 0x90, 0x65, 0x03, 0x0C, 0x00, 0x10, 0x00})}));
  d.request_pending = true;
  d.raw_buffer = raw.data();
  d.raw_capacity_blocks = 1;
  edid_reset_results(d);
  EXPECT_EQ(d.status, HDTX_EDID_NOT_READ);
  EXPECT_EQ(d.dtd_count, 0u);
  EXPECT_EQ(d.svd_count, 0u);
  EXPECT_FALSE(d.hdmi_found);
  EXPECT_FALSE(d.cea_found);
  EXPECT_EQ(d.block_count, 0u);
  EXPECT_TRUE(d.request_pending);
  EXPECT_EQ(d.raw_buffer, raw.data());
}

} // namespace
