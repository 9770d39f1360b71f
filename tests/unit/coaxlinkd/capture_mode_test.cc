#include "coaxlinkd/capture_mode.h"
#include "log_capture.h"

#include <gtest/gtest.h>
#include <memory>
#include <string>

namespace {

struct variant_unref {
  void operator()(GVariant *v) const { g_variant_unref(v); }
};
using variant_ptr = std::unique_ptr<GVariant, variant_unref>;

variant_ptr parse(const char *type, const char *text) {
  GError *err = nullptr;
  GVariant *v =
      g_variant_parse(type != nullptr ? G_VARIANT_TYPE(type) : nullptr, text, nullptr, nullptr, &err);
  EXPECT_EQ(err, nullptr) << (err != nullptr ? err->message : "");
  if (err != nullptr) {
    g_error_free(err);
  }
  return variant_ptr(g_variant_ref_sink(v));
}

struct unpack_row {
  const char *name;
  const char *type;
  const char *text;
  std::optional<std::string> mode;
  bool logs_no_data;
};

class unpack_rows : public testing::TestWithParam<unpack_row> {};

TEST_P(unpack_rows, takes_the_entry_marked_current) {
  const unpack_row &row = GetParam();
  variant_ptr v = parse(row.type, row.text);
  log_capture logs;
  EXPECT_EQ(unpack_capture_mode_property(v.get()), row.mode);
  if (row.logs_no_data) {
    EXPECT_EQ(logs.messages(), std::vector<std::string>{"coaxlinkd_config:154 [unpack_capture_mode_property] "
                                                        "Did not get Capture mode data"});
  } else {
    EXPECT_TRUE(logs.messages().empty());
  }
}

const char *const LIST = "aa{sv}";

INSTANTIATE_TEST_SUITE_P(
    replies, unpack_rows,
    testing::Values(
        unpack_row{"current_in_the_middle", LIST,
                   "[{'res_set_name': <'720p50'>, 'current': <false>}, "
                   "{'res_set_name': <'1080i60'>, 'current': <true>}, {'res_set_name': <'1080p25'>}]",
                   "1080i60", false},
        unpack_row{"first_current_wins", LIST,
                   "[{'current': <true>, 'res_set_name': <'720p60'>}, "
                   "{'current': <true>, 'res_set_name': <'1080p50'>}]",
                   "720p60", false},
        unpack_row{"none_current", LIST, "[{'res_set_name': <'720p50'>, 'current': <false>}]", std::nullopt,
                   false},
        unpack_row{"current_not_boolean", LIST, "[{'res_set_name': <'720p50'>, 'current': <1>}]",
                   std::nullopt, false},
        unpack_row{"name_not_string", LIST, "[{'res_set_name': <1080>, 'current': <true>}]", std::nullopt,
                   false},
        unpack_row{"name_missing", LIST, "[{'current': <true>}, {'res_set_name': <'720p50'>}]", std::nullopt,
                   false},
        unpack_row{"empty_list", LIST, "@aa{sv} []", std::nullopt, true},
        unpack_row{"wrong_type", nullptr, "['1080p50']", std::nullopt, true}),
    [](const testing::TestParamInfo<unpack_row> &row_info) { return std::string(row_info.param.name); });

TEST(unpack, no_reply_at_all) {
  log_capture logs;
  EXPECT_EQ(unpack_capture_mode_property(nullptr), std::nullopt);
  EXPECT_EQ(logs.messages().size(), 1U);
}

} // namespace
