#include "coaxlinkd/fpga.h"

#include <gtest/gtest.h>
#include <string>

namespace {

struct payload_row {
  const char *name;
  std::string mode;
  capture_mode_status status;
  std::uint32_t value;
  bool rate_known;
};

class payload_rows : public testing::TestWithParam<payload_row> {};

TEST_P(payload_rows, identifier_bytes) {
  const payload_row &row = GetParam();
  sdi_payload p = sdi_payload_identifier(row.mode);
  EXPECT_EQ(p.status, row.status);
  EXPECT_EQ(p.value, row.value);
  EXPECT_EQ(p.rate_known, row.rate_known);
}

using enum capture_mode_status;

INSTANTIATE_TEST_SUITE_P(
    modes, payload_rows,
    testing::Values(payload_row{"m1080i60", "1080i60", ok, 0x800B89, true},
                    payload_row{"m1080p50", "1080p50", ok, 0x80C989, true},
                    payload_row{"m1080p25", "1080p25", ok, 0x80C589, true},
                    payload_row{"m1080i50", "1080i50", ok, 0x800989, true},
                    payload_row{"m1080p30", "1080p30", ok, 0x80C789, true},
                    payload_row{"m720p50", "720p50", ok, 0x004984, true},
                    payload_row{"m720p60", "720p60", ok, 0x004B84, true},
                    // 720 lines take any scan character.
                    payload_row{"m720x25", "720x25", ok, 0x004584, true},
                    // No rate code: the rate bits stay clear, the identifier is still complete.
                    payload_row{"m1080p24", "1080p24", ok, 0x80C089, false},
                    payload_row{"m1080p5994", "1080p59.94", ok, 0x80C089, false},
                    payload_row{"m720_no_rate", "720", ok, 0x004084, false},
                    payload_row{"m576i50", "576i50", unsupported_lines, 0, false},
                    payload_row{"m1080x50", "1080x50", unsupported_scan, 0, false},
                    payload_row{"m1080_nothing_more", "1080", unsupported_scan, 0, false},
                    payload_row{"hex_lines", "0x438p50", ok, 0x80C989, true},
                    payload_row{"huge_lines", "99999999999999999999p50", unsupported_lines, 0, false},
                    payload_row{"empty", "", not_a_number, 0, false},
                    payload_row{"letters", "p1080", not_a_number, 0, false},
                    payload_row{"space", " 1080p50", not_a_number, 0, false},
                    payload_row{"sign", "-1080p50", not_a_number, 0, false},
                    payload_row{"embedded_nul", std::string("1080\0p50", 8), unsupported_scan, 0, false}),
    [](const testing::TestParamInfo<payload_row> &row_info) { return std::string(row_info.param.name); });

TEST(payload, parsed_fields_feed_the_messages) {
  sdi_payload p = sdi_payload_identifier("1080p24");
  EXPECT_EQ(p.lines, 1080);
  EXPECT_EQ(p.scan, 'p');
  EXPECT_EQ(p.rate, 24);
  p = sdi_payload_identifier("576i50");
  EXPECT_EQ(p.lines, 576);
  p = sdi_payload_identifier("1080q50");
  EXPECT_EQ(p.scan, 'q');
}

} // namespace
