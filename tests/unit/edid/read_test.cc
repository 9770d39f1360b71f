// The EDID read through the register layer on the chip model: the request's refusals, the block
// reads on the wire, interrupts driving the read to its end, and a sink leaving half-way.
#include "edid_corpus.h"
#include "reg_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace edid_test;

unsigned count_of(unsigned cause) {
  return static_cast<unsigned>(
      std::count(regtest::causes_called.begin(), regtest::causes_called.end(), cause));
}

class EdidRead : public regtest::RegUnit {
protected:
  void SetUp() override {
    RegUnit::SetUp();
    ASSERT_EQ(init(), HDTX_OK);
  }

  // Runs the interrupt handler as long as the line has been pulled since the last run.
  void handle_interrupts() {
    for (int guard = 0; guard < 1000 && chip.interrupt_count() != seen_; ++guard) {
      seen_ = chip.interrupt_count();
      ASSERT_EQ(hdtx_reg_hw_handle_interrupt(0), HDTX_OK);
    }
  }
  void plug(const std::vector<std::uint8_t> &edid) {
    chip.plug(edid);
    handle_interrupts();
    ASSERT_EQ(count_of(HDTX_CAUSE_HOT_PLUG), 1u);
    regtest::causes_called.clear();
  }
  hdtx_edid_data &edid() { return unit()->edid; }

  // Transfers on one page ("p09"), page selections left out.
  std::vector<std::string> lines_on_page(const std::string &page) {
    std::vector<std::string> out;
    std::istringstream in(chip.log_text());
    for (std::string line; std::getline(in, line);)
      if (line.find(" " + page + " ") != std::string::npos &&
          line.find(" " + page + " FF ") == std::string::npos)
        out.push_back(line);
    return out;
  }

  unsigned seen_ = 0;
};

Block good_block0(unsigned extensions) {
  Block b = make_block0(extensions);
  const auto t = make_dtd(14850, 1920, 280, 1080, 45, 1600, 900, false);
  std::copy(t.begin(), t.end(), b.begin() + 54);
  fix_checksum(b);
  return b;
}

Block hdmi_extension() {
  Block b = make_cea({0x42, 0x90, 0x84, 0x65, 0x03, 0x0C, 0x00, 0x10, 0x00}, {}, 0x70);
  fix_checksum(b);
  return b;
}

std::vector<std::uint8_t> two_blocks() {
  std::vector<std::uint8_t> e = good_block0(1);
  const Block x = hdmi_extension();
  e.insert(e.end(), x.begin(), x.end());
  return e;
}

TEST_F(EdidRead, RequestRefusals) {
  std::array<std::uint8_t, 512> buf{};
  struct Row {
    const char *what;
    unsigned blocks, size;
    hdtx_err err;
  };
  const Row bad[] = {
      {"room below one block", 1, 127, HDTX_REG_ERR_BAD_PARAMETER},
      {"room below the blocks wanted", 2, 255, HDTX_REG_ERR_BAD_PARAMETER},
      {"no block", 0, 512, HDTX_REG_ERR_RANGE},
      {"256 blocks", 256, 256 * 128, HDTX_REG_ERR_RANGE},
  };
  plug(two_blocks());
  for (const Row &r : bad) {
    SCOPED_TRACE(r.what);
    EXPECT_EQ(hdtx_reg_edid_request_block_data(0, buf.data(), r.blocks, r.size), r.err);
    EXPECT_FALSE(edid().request_pending);
  }
  EXPECT_EQ(hdtx_reg_edid_request_block_data(1, nullptr, 0, 0), HDTX_REG_ERR_NOT_INITIALIZED);
  EXPECT_EQ(hdtx_reg_edid_request_block_data(2, nullptr, 0, 0), HDTX_REG_ERR_BAD_UNIT);

  // A read in progress (its first block is in, no interrupt handled yet) refuses a second one.
  ASSERT_EQ(hdtx_reg_edid_request_block_data(0, buf.data(), 4, 512), HDTX_OK);
  EXPECT_EQ(hdtx_reg_edid_request_block_data(0, buf.data(), 4, 512), HDTX_REG_ERR_NOT_ALLOWED);
}

TEST_F(EdidRead, RequestWithoutSinkIsRefused) {
  EXPECT_EQ(hdtx_reg_edid_request_block_data(0, nullptr, 0, 0), HDTX_REG_ERR_NO_SINK);
  EXPECT_FALSE(edid().request_pending);
}

TEST_F(EdidRead, GettersWaitForAReadEdid) {
  std::uint8_t status = 0;
  unsigned blocks = 99;
  ASSERT_EQ(hdtx_reg_edid_get_status(0, &status, &blocks), HDTX_OK);
  EXPECT_EQ(status, HDTX_EDID_NOT_READ);
  unsigned sink = 0;
  std::uint16_t address = 0;
  std::array<std::uint8_t, 5> basic{};
  EXPECT_EQ(hdtx_reg_edid_get_sink_type(0, &sink), HDTX_REG_ERR_NOT_ALLOWED);
  EXPECT_EQ(hdtx_reg_edid_get_source_address(0, &address), HDTX_REG_ERR_NOT_ALLOWED);
  EXPECT_EQ(hdtx_reg_edid_get_basic_display_param(0, &basic), HDTX_REG_ERR_NOT_ALLOWED);
  EXPECT_EQ(hdtx_reg_edid_get_status(1, &status, &blocks), HDTX_REG_ERR_NOT_INITIALIZED);
}

TEST_F(EdidRead, BlockReadSequenceOnTheWire) {
  plug(two_blocks());
  chip.clear_log();
  std::array<std::uint8_t, 256> raw{};
  ASSERT_EQ(hdtx_reg_edid_request_block_data(0, raw.data(), 2, 256), HDTX_OK);
  handle_interrupts();
  const std::vector<std::string> want = {
      "W 70 p09 FB A0", "W 70 p09 FC 00", "W 70 p09 FD 60",   "W 70 p09 FE 00",
      "W 70 p09 FA 01", "W 70 p09 FA 00", "R 70 p09 00 +128", //
      "W 70 p09 FB A0", "W 70 p09 FC 80", "W 70 p09 FD 60",   "W 70 p09 FE 00",
      "W 70 p09 FA 01", "W 70 p09 FA 00", "R 70 p09 00 +128",
  };
  EXPECT_EQ(lines_on_page("p09"), want);
  // Before the first block: the DDC control bit cleared and the EDID interrupt enabled.
  const auto p12 = lines_on_page("p12");
  ASSERT_FALSE(p12.empty());
  EXPECT_EQ(p12.back().rfind("W 70 p12 9B", 0), 0u);
  EXPECT_EQ(chip.interrupt_enable(0x11) & 0x02, 0x02);
  EXPECT_EQ(chip.hdmi_reg(0x12, 0x9B) & 0x02, 0);

  EXPECT_EQ(count_of(HDTX_CAUSE_EDID_BLOCK), 1u);
  EXPECT_EQ(std::vector<std::uint8_t>(raw.begin(), raw.end()), two_blocks());
}

TEST_F(EdidRead, CompleteReadMovesStateAndAnswersTheGetters) {
  plug(two_blocks());
  ASSERT_EQ(hdtx_reg_edid_request_block_data(0, nullptr, 0, 0), HDTX_OK);
  handle_interrupts();
  EXPECT_EQ(count_of(HDTX_CAUSE_EDID_BLOCK), 1u);
  EXPECT_FALSE(edid().request_pending);

  std::uint8_t status = 99;
  unsigned blocks = 0;
  ASSERT_EQ(hdtx_reg_edid_get_status(0, &status, &blocks), HDTX_OK);
  EXPECT_EQ(status, HDTX_EDID_READ);
  EXPECT_EQ(blocks, 2u);
  std::array<std::uint8_t, 8> svd{};
  unsigned count = 0;
  std::uint8_t flags = 0;
  ASSERT_EQ(hdtx_reg_edid_get_video_capabilities(0, svd.data(), 8, &count, &flags), HDTX_OK);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(svd[0], 0x90);
  EXPECT_EQ(flags, 0x40 | 0x20);
  hdtx_edid_dtd preferred{};
  bool found = false;
  ASSERT_EQ(hdtx_reg_edid_get_video_preferred(0, &preferred, &found), HDTX_OK);
  EXPECT_TRUE(found);
  EXPECT_EQ(edid_dtd_to_cea(preferred), 16);

  // Receiver sense was already active: the EDID completes into "receiver active".
  unsigned state = 0;
  ASSERT_EQ(hdtx_reg_get_state(0, &state, nullptr), HDTX_OK);
  EXPECT_EQ(state, HDTX_ST_RX_ACTIVE);
}

TEST_F(EdidRead, CorruptBlock0EndsTheReadAsComplete) {
  std::vector<std::uint8_t> e = two_blocks();
  e[100] ^= 0x40;
  plug(e);
  ASSERT_EQ(hdtx_reg_edid_request_block_data(0, nullptr, 0, 0), HDTX_OK);
  chip.clear_log();
  handle_interrupts();
  EXPECT_EQ(count_of(HDTX_CAUSE_EDID_BLOCK), 1u);
  EXPECT_FALSE(edid().request_pending);
  EXPECT_EQ(lines_on_page("p09"), std::vector<std::string>{"R 70 p09 00 +128"}); // no second block
  std::uint8_t status = 0;
  unsigned blocks = 0;
  ASSERT_EQ(hdtx_reg_edid_get_status(0, &status, &blocks), HDTX_OK);
  EXPECT_EQ(status, HDTX_EDID_BLOCK0_CHECKSUM);
  unsigned sink = 0;
  EXPECT_EQ(hdtx_reg_edid_get_sink_type(0, &sink), HDTX_REG_ERR_NOT_ALLOWED);
  EXPECT_EQ(unit_record(0)->sink_type, HDTX_SINK_DVI);
  // A new read may start.
  EXPECT_EQ(hdtx_reg_edid_request_block_data(0, nullptr, 0, 0), HDTX_OK);
}

TEST_F(EdidRead, UnplugDuringReadAbandonsIt) {
  plug(two_blocks());
  ASSERT_EQ(hdtx_reg_edid_request_block_data(0, nullptr, 0, 0), HDTX_OK);
  // Block 0 is in; handle it, which starts block 1.
  seen_ = chip.interrupt_count() - 1;
  ASSERT_EQ(hdtx_reg_hw_handle_interrupt(0), HDTX_OK);
  seen_ = chip.interrupt_count() - 1; // block 1's interrupt is pending, unhandled
  ASSERT_TRUE(edid().request_pending);
  ASSERT_EQ(edid().block_index, 1u);

  chip.unplug();
  handle_interrupts();
  EXPECT_FALSE(edid().request_pending);
  EXPECT_EQ(edid().status, HDTX_EDID_NOT_READ);
  EXPECT_EQ(edid().svd_count, 0u);
  EXPECT_EQ(edid().dtd_count, 0u);
  EXPECT_EQ(count_of(HDTX_CAUSE_EDID_BLOCK), 0u);
  EXPECT_EQ(count_of(HDTX_CAUSE_HOT_PLUG), 1u);
}

TEST_F(EdidRead, FailedStartDoesNotLeaveTheReadPending) {
  plug(two_blocks());
  chip.set_fail([](const chipsim::Transfer &t) { return t.write && t.page == 0x09 && t.reg == 0xFA; });
  EXPECT_EQ(hdtx_reg_edid_request_block_data(0, nullptr, 0, 0), HDTX_REG_ERR_I2C_WRITE);
  EXPECT_FALSE(edid().request_pending);
  chip.set_fail(nullptr);
  ASSERT_EQ(hdtx_reg_edid_request_block_data(0, nullptr, 0, 0), HDTX_OK);
  handle_interrupts();
  EXPECT_EQ(count_of(HDTX_CAUSE_EDID_BLOCK), 1u);
  EXPECT_EQ(edid().status, HDTX_EDID_READ);
}

TEST_F(EdidRead, FailedBlockReadOutIsRetried) {
  plug(two_blocks());
  bool failed = false;
  chip.set_fail([&failed](const chipsim::Transfer &t) {
    if (failed || t.write || t.page != 0x09)
      return false;
    failed = true;
    return true;
  });
  ASSERT_EQ(hdtx_reg_edid_request_block_data(0, nullptr, 0, 0), HDTX_OK);
  seen_ = chip.interrupt_count();
  EXPECT_EQ(hdtx_reg_hw_handle_interrupt(0), HDTX_REG_ERR_I2C_READ);
  EXPECT_TRUE(failed);
  EXPECT_TRUE(edid().request_pending);
  handle_interrupts(); // the block read started again brings the next interrupt
  EXPECT_EQ(count_of(HDTX_CAUSE_EDID_BLOCK), 1u);
  EXPECT_EQ(edid().status, HDTX_EDID_READ);
  EXPECT_TRUE(edid().hdmi_found);
}

// Every corpus EDID read from the chip model gives the same answers as the parse alone.
class EdidCorpusOnTheWire : public EdidRead, public ::testing::WithParamInterface<std::string> {};

TEST_P(EdidCorpusOnTheWire, ReadsToReference) {
  CorpusEntry e;
  ASSERT_TRUE(load_entry(GetParam(), e));
  const unsigned blocks = static_cast<unsigned>(e.bin.size() / HDTX_EDID_BLOCK_SIZE);
  plug(e.bin);
  std::vector<std::uint8_t> raw(e.bin.size(), 0xEE);
  ASSERT_EQ(hdtx_reg_edid_request_block_data(0, raw.data(), blocks, static_cast<unsigned>(raw.size())),
            HDTX_OK);
  handle_interrupts();
  ASSERT_EQ(count_of(HDTX_CAUSE_EDID_BLOCK), 1u);
  EXPECT_FALSE(edid().request_pending);
  expect_matches(edid(), e.expected);
  EXPECT_EQ(raw, e.bin);

  unsigned sink = 9;
  ASSERT_EQ(hdtx_reg_edid_get_sink_type(0, &sink), HDTX_OK);
  EXPECT_EQ(sink == HDTX_SINK_HDMI ? "HDMI" : "DVI", e.expected["sink_type"].get<std::string>());
  EXPECT_EQ(unit_record(0)->sink_type, sink);
  std::uint16_t address = 0;
  ASSERT_EQ(hdtx_reg_edid_get_source_address(0, &address), HDTX_OK);
  const auto &pa = e.expected["physical_address"];
  EXPECT_EQ(address, pa.is_null() ? HDTX_EDID_NO_ADDRESS : pa.get<std::uint16_t>());
}

INSTANTIATE_TEST_SUITE_P(Files, EdidCorpusOnTheWire, ::testing::ValuesIn(corpus_names()), test_name);

} // namespace
