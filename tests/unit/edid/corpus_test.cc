// Every real EDID of the reference corpus, parsed block by block, gives the reference answers.
#include "edid_corpus.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using namespace edid_test;

TEST(EdidCorpusFolder, HoldsEveryReferenceEdid) {
  ASSERT_TRUE(std::filesystem::is_directory(corpus_dir())) << corpus_dir() << " is missing";
  EXPECT_EQ(corpus_names().size(), kCorpusSize);
}

class EdidCorpus : public ::testing::TestWithParam<std::string> {};

TEST_P(EdidCorpus, ParsesToReference) {
  CorpusEntry e;
  ASSERT_TRUE(load_entry(GetParam(), e));
  ASSERT_EQ(e.bin.size() % HDTX_EDID_BLOCK_SIZE, 0u);
  const unsigned blocks = static_cast<unsigned>(e.bin.size() / HDTX_EDID_BLOCK_SIZE);

  std::vector<std::uint8_t> raw(e.bin.size(), 0xEE);
  const hdtx_edid_data d = parse_all(e.bin, raw.data(), blocks);
  expect_matches(d, e.expected);
  // The raw copy holds what the sink sent, corrupt extensions included.
  EXPECT_EQ(raw, e.bin);
}

INSTANTIATE_TEST_SUITE_P(Files, EdidCorpus, ::testing::ValuesIn(corpus_names()), test_name);

} // namespace
