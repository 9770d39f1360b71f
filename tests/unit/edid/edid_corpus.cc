#include "edid_corpus.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <utility>

namespace edid_test {

using nlohmann::json;

std::filesystem::path corpus_dir() {
  return EDID_CORPUS_DIR;
}

std::string test_name(const ::testing::TestParamInfo<std::string> &info) {
  std::string s = info.param;
  std::replace_if(
      s.begin(), s.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
  return s;
}

std::vector<std::string> corpus_names() {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto &e : std::filesystem::directory_iterator(corpus_dir(), ec)) {
    const auto &p = e.path();
    if (p.extension() == ".bin")
      names.push_back(p.stem().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

namespace {

bool read_file(const std::filesystem::path &p, std::string &out) {
  std::ifstream in(p, std::ios::binary);
  if (!in) {
    ADD_FAILURE() << "cannot read " << p;
    return false;
  }
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad()) {
    ADD_FAILURE() << "read error on " << p;
    return false;
  }
  return true;
}

std::string hex(const std::uint8_t *p, std::size_t n) {
  std::string s;
  for (std::size_t i = 0; i < n; ++i) {
    char buf[3];
    std::snprintf(buf, sizeof buf, "%02x", p[i]);
    s += buf;
  }
  return s;
}

// A byte that the reference gives as null when absent.
void expect_optional(const char *what, const json &ref, bool present, unsigned value) {
  if (ref.is_null()) {
    EXPECT_FALSE(present) << what << " should be absent";
  } else {
    EXPECT_TRUE(present) << what << " should be present";
    EXPECT_EQ(value, ref.get<unsigned>()) << what;
  }
}

void expect_vsdb(const hdtx_edid_data &d, const json &v) {
  if (v.is_null())
    return;
  EXPECT_EQ(d.vsdb_length, v["length"].get<unsigned>());
  expect_optional("capability", v["capability"], d.vsdb_length > 5, d.vsdb_capability);
  expect_optional("max_tmds_5mhz", v["max_tmds_5mhz"], d.vsdb_length > 6, d.vsdb_max_tmds);
  expect_optional("flags8", v["flags8"], d.vsdb_length > 7, d.vsdb_flags);
  expect_optional("video_latency", v["video_latency"], d.latency.latency_present, d.latency.video_latency);
  expect_optional("audio_latency", v["audio_latency"], d.latency.latency_present, d.latency.audio_latency);
  expect_optional("interlaced_video_latency", v["interlaced_video_latency"],
                  d.latency.interlaced_latency_present, d.latency.interlaced_video_latency);
  expect_optional("interlaced_audio_latency", v["interlaced_audio_latency"],
                  d.latency.interlaced_latency_present, d.latency.interlaced_audio_latency);
}

void expect_timing(const hdtx_edid_dtd &t, const json &r) {
  EXPECT_EQ(t.pixel_clock, r["pixel_clock_10khz"].get<unsigned>());
  EXPECT_EQ(t.h_active, r["h_active"].get<unsigned>());
  EXPECT_EQ(t.h_blanking, r["h_blanking"].get<unsigned>());
  EXPECT_EQ(t.v_active, r["v_active"].get<unsigned>());
  EXPECT_EQ(t.v_blanking, r["v_blanking"].get<unsigned>());
  EXPECT_EQ(t.h_sync_offset, r["h_sync_offset"].get<unsigned>());
  EXPECT_EQ(t.h_sync_width, r["h_sync_width"].get<unsigned>());
  EXPECT_EQ(t.v_sync_offset, r["v_sync_offset"].get<unsigned>());
  EXPECT_EQ(t.v_sync_width, r["v_sync_width"].get<unsigned>());
  EXPECT_EQ(t.h_image_size, r["h_image_mm"].get<unsigned>());
  EXPECT_EQ(t.v_image_size, r["v_image_mm"].get<unsigned>());
  EXPECT_EQ(t.h_border, r["h_border"].get<unsigned>());
  EXPECT_EQ(t.v_border, r["v_border"].get<unsigned>());
  EXPECT_EQ(t.flags, r["flags"].get<unsigned>());
  EXPECT_EQ((t.flags & 0x80) != 0, r["interlaced"].get<bool>());
  EXPECT_EQ(edid_dtd_to_cea(t), r["cea_code"].get<unsigned>());
}

} // namespace

bool load_entry(const std::string &name, CorpusEntry &out) {
  std::string bin;
  std::string text;
  if (!read_file(corpus_dir() / (name + ".bin"), bin) ||
      !read_file(corpus_dir() / (name + ".expected.json"), text))
    return false;
  out.bin.assign(bin.begin(), bin.end());
  out.expected = json::parse(text, nullptr, false);
  if (out.expected.is_discarded()) {
    ADD_FAILURE() << name << ".expected.json is not JSON";
    return false;
  }
  return true;
}

hdtx_edid_data parse_all(const std::vector<std::uint8_t> &bin, std::uint8_t *raw, unsigned raw_blocks) {
  hdtx_edid_data d{};
  d.raw_buffer = raw;
  d.raw_capacity_blocks = raw_blocks;
  edid_reset_results(d);
  const std::size_t in_file = bin.size() / HDTX_EDID_BLOCK_SIZE;
  for (unsigned i = 0; i < in_file; ++i) {
    edid_parse_block(d, i, bin.data() + std::size_t{i} * HDTX_EDID_BLOCK_SIZE);
    if (d.status == HDTX_EDID_BLOCK0_CHECKSUM || i + 1 >= d.block_count)
      break;
  }
  edid_parse_done(d);
  return d;
}

void expect_matches(const hdtx_edid_data &d, const json &e) {
  EXPECT_EQ(d.status, e["status"].get<unsigned>());
  if (!e["capabilities_available"].get<bool>()) {
    EXPECT_EQ(d.dtd_count, 0u);
    EXPECT_EQ(d.svd_count, 0u);
    EXPECT_FALSE(d.hdmi_found);
    return;
  }
  EXPECT_EQ(d.block_count, e["block_count"].get<unsigned>());
  EXPECT_EQ(std::vector<std::uint8_t>(d.basic_display, d.basic_display + 5),
            e["basic_display_params"].get<std::vector<std::uint8_t>>());

  EXPECT_EQ(d.hdmi_found ? "HDMI" : "DVI", e["sink_type"].get<std::string>());
  expect_optional("physical_address", e["physical_address"], d.hdmi_found, d.physical_address);
  expect_vsdb(d, e["hdmi_vsdb"]);

  EXPECT_EQ(std::vector<std::uint8_t>(d.svd, d.svd + d.svd_count),
            e["svd_bytes"].get<std::vector<std::uint8_t>>());
  std::vector<std::vector<std::uint8_t>> sads;
  for (unsigned i = 0; i < d.sad_count; ++i)
    sads.emplace_back(d.sad[i].bytes, d.sad[i].bytes + 3);
  EXPECT_EQ(sads, e["short_audio_descriptors"].get<std::vector<std::vector<std::uint8_t>>>());

  expect_optional("cea_flags", e["cea_flags"], d.cea_found, d.cea_flags);
  expect_optional("colorimetry", e["colorimetry"], d.colorimetry_found, d.colorimetry);

  const auto &timings = e["detailed_timings"];
  ASSERT_EQ(d.dtd_count, timings.size());
  for (unsigned i = 0; i < d.dtd_count; ++i) {
    SCOPED_TRACE("timing " + std::to_string(i));
    expect_timing(d.dtd[i], timings[i]);
  }

  std::vector<std::string> names;
  for (unsigned i = 0; i < d.name_count; ++i)
    names.push_back(hex(d.names[i].bytes, sizeof d.names[i].bytes));
  std::vector<std::string> ref_names;
  for (const auto &n : e["monitor_names"])
    ref_names.push_back(n["bytes"].get<std::string>());
  EXPECT_EQ(names, ref_names);
  if (e["range_limits"].is_null()) {
    EXPECT_FALSE(d.range_limits_found);
  } else {
    EXPECT_TRUE(d.range_limits_found);
    EXPECT_EQ(std::vector<std::uint8_t>(d.range_limits, d.range_limits + 5),
              e["range_limits"].get<std::vector<std::uint8_t>>());
  }

  std::array<hdtx_video_cap, 255> caps{};
  unsigned count = 0;
  std::uint8_t flags = 0;
  edid_video_caps(d, caps.data(), static_cast<unsigned>(caps.size()), &count, &flags);
  std::vector<std::pair<unsigned, bool>> got;
  for (unsigned i = 0; i < count; ++i)
    got.emplace_back(caps[i].code, caps[i].native);
  std::vector<std::pair<unsigned, bool>> want;
  for (const auto &c : e["video_caps"])
    want.emplace_back(c[0].get<unsigned>(), c[1].get<bool>());
  EXPECT_EQ(got, want);
  EXPECT_EQ(flags, e["video_flags"].get<unsigned>());
}

Block make_block0(unsigned extensions) {
  Block b(HDTX_EDID_BLOCK_SIZE, 0);
  const std::uint8_t header[] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
  std::copy(std::begin(header), std::end(header), b.begin());
  b[18] = 1;
  b[19] = 3;
  const std::uint8_t basic[] = {0x80, 0x50, 0x2D, 0x78, 0x0A};
  std::copy(std::begin(basic), std::end(basic), b.begin() + 20);
  // Dummy descriptors (tag 0x10) in every slot; tests put timings over them.
  for (unsigned off = 54; off < 126; off += 18)
    b[off + 3] = 0x10;
  b[126] = static_cast<std::uint8_t>(extensions);
  return b;
}

std::vector<std::uint8_t> make_dtd(unsigned clock_10khz, unsigned h_active, unsigned h_blank,
                                   unsigned v_active, unsigned v_blank, unsigned h_mm, unsigned v_mm,
                                   bool interlaced) {
  auto lo = [](unsigned v) { return static_cast<std::uint8_t>(v & 0xFF); };
  auto nib = [](unsigned hi, unsigned lo4) {
    return static_cast<std::uint8_t>(((hi >> 8) & 0x0F) << 4 | ((lo4 >> 8) & 0x0F));
  };
  return {lo(clock_10khz),
          lo(clock_10khz >> 8),
          lo(h_active),
          lo(h_blank),
          nib(h_active, h_blank),
          lo(v_active),
          lo(v_blank),
          nib(v_active, v_blank),
          88,
          44,
          0x45,
          0x00,
          lo(h_mm),
          lo(v_mm),
          nib(h_mm, v_mm),
          0,
          0,
          static_cast<std::uint8_t>(interlaced ? 0x9E : 0x1E)};
}

Block make_cea(const std::vector<std::uint8_t> &data_blocks,
               const std::vector<std::vector<std::uint8_t>> &dtds, std::uint8_t flags) {
  Block b(HDTX_EDID_BLOCK_SIZE, 0);
  b[0] = 0x02;
  b[1] = 0x03;
  b[2] = static_cast<std::uint8_t>(4 + data_blocks.size());
  b[3] = flags;
  std::copy(data_blocks.begin(), data_blocks.end(), b.begin() + 4);
  std::size_t off = b[2];
  for (const auto &t : dtds) {
    if (off + t.size() > HDTX_EDID_BLOCK_SIZE - 1)
      break;
    std::copy(t.begin(), t.end(), b.begin() + static_cast<std::ptrdiff_t>(off));
    off += t.size();
  }
  return b;
}

void fix_checksum(Block &b) {
  unsigned sum = 0;
  for (std::size_t i = 0; i + 1 < HDTX_EDID_BLOCK_SIZE; ++i)
    sum += b[i];
  b[HDTX_EDID_BLOCK_SIZE - 1] = static_cast<std::uint8_t>((256 - sum % 256) % 256);
}

} // namespace edid_test
