// The EDID corpus for tests: real dumps with reference answers in JSON, the comparison of a parse
// result with them, and a builder of synthetic blocks.
#pragma once

#include "edid.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace edid_test {

inline constexpr std::size_t kCorpusSize = 44;

std::filesystem::path corpus_dir();
// Names (without extension) of every NAME.bin that has a NAME.expected.json, sorted; empty when
// the folder is missing.
std::vector<std::string> corpus_names();

struct CorpusEntry {
  std::vector<std::uint8_t> bin;
  nlohmann::json expected;
};
// A corpus name as a test name: every character but letters and digits becomes '_'.
std::string test_name(const ::testing::TestParamInfo<std::string> &info);

// Loads NAME.bin and NAME.expected.json; false (with a test failure recorded) when either is
// missing or unreadable.
bool load_entry(const std::string &name, CorpusEntry &out);

// Records a test failure for every field of `d` (status, capabilities, timings, names, video caps
// as edid_video_caps builds them) that differs from the reference answers.
void expect_matches(const hdtx_edid_data &d, const nlohmann::json &expected);

// Feeds `bin` block by block through edid_parse_block as the device does and ends the parse.
hdtx_edid_data parse_all(const std::vector<std::uint8_t> &bin, std::uint8_t *raw = nullptr,
                         unsigned raw_blocks = 0);

// Synthetic blocks. Each helper leaves the checksum byte to fix_checksum.
using Block = std::vector<std::uint8_t>;
Block make_block0(unsigned extensions);
// An 18-byte detailed timing.
std::vector<std::uint8_t> make_dtd(unsigned clock_10khz, unsigned h_active, unsigned h_blank,
                                   unsigned v_active, unsigned v_blank, unsigned h_mm, unsigned v_mm,
                                   bool interlaced);
// A CEA-861 extension holding `data_blocks` (header bytes included) and then `dtds`.
Block make_cea(const std::vector<std::uint8_t> &data_blocks,
               const std::vector<std::vector<std::uint8_t>> &dtds, std::uint8_t flags = 0);
void fix_checksum(Block &b);

} // namespace edid_test
