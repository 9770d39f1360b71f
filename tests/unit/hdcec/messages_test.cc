// The frames of the message family: the daemon's seven byte for byte, then every row of the
// family with operand values derived from the operand names, so that a swapped, dropped or
// mis-encoded operand shows.
#include "cec_rig.h"
#include "hdcec_messages.h"

#include <array>
#include <functional>
#include <map>
#include <set>
#include <string_view>

namespace cectest {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The last transfer, as written from the frame register.
Bytes last_write(const chipsim::Chip &chip) {
  const auto log = chip.log();
  if (log.empty() || !log.back().write || log.back().reg != 0x07)
    return {};
  return log.back().bytes;
}

TEST_F(CecRig, DaemonMessagesAreWrittenAsWholeFrames) {
  set_up(1);
  const std::uint8_t ptz[] = {'P', 'T', 'Z'};
  struct row {
    const char *what;
    std::function<hdcec_err()> send;
    Bytes frame; // size, control, header, opcode, operands
  };
  const row rows[] = {
      {"report physical address",
       [] { return hdcec_report_physical_address(0, 0x1200, 4); },
       {7, 0, 0x1F, 0x84, 0x12, 0x00, 0x04}},
      {"active source", [] { return hdcec_active_source(0, 0x1200); }, {6, 0, 0x1F, 0x82, 0x12, 0x00}},
      {"cec version", [] { return hdcec_version(0, 0, 4); }, {5, 0, 0x10, 0x9E, 0x04}},
      {"osd name", [&] { return hdcec_set_osd_name(0, 0, ptz, 3); }, {7, 0, 0x10, 0x47, 'P', 'T', 'Z'}},
      {"power status", [] { return hdcec_report_power_status(0, 0, 0); }, {5, 0, 0x10, 0x90, 0x00}},
      {"vendor id", [] { return hdcec_device_vendor_id(0, 0x12345); }, {7, 0, 0x1F, 0x87, 0x01, 0x23, 0x45}},
      {"feature abort", [] { return hdcec_feature_abort(0, 4, 0xFF, 4); }, {6, 0, 0x14, 0x00, 0xFF, 0x04}},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.what);
    chip.clear_log();
    ASSERT_EQ(r.send(), 0u);
    EXPECT_EQ(chip.log().size(), 1u) << "one transfer per frame";
    EXPECT_EQ(last_write(chip), r.frame);
    EXPECT_EQ(bus(chip).back(), Bytes(r.frame.begin() + 2, r.frame.end())) << "the core took it as a frame";
  }
}

// Operand values for the family check, derived from the operand's name.
std::uint32_t name_value(std::string_view name) {
  std::uint32_t h = 2166136261u;
  for (char c : name)
    h = (h ^ static_cast<std::uint8_t>(c)) * 16777619u;
  return h;
}

constexpr std::uint8_t sample_text[] = {'a', 'b', 'c'};
constexpr hdcec_digital_service_id sample_dsi = {1, 2, 3, 4, 5, 6, 7};
constexpr hdcec_language sample_language = {'e', 'n', 'g'};

#define TEST_ARG(kind, name) TEST_ARG_##kind(name)
#define TEST_ARG_u8(name) , static_cast<std::uint8_t>(name_value(#name))
#define TEST_ARG_u16(name) , static_cast<std::uint16_t>(name_value(#name))
#define TEST_ARG_u24(name) , (name_value(#name) & 0xFFFFFFu)
#define TEST_ARG_u32(name) , name_value(#name)
#define TEST_ARG_bytes(name)                                                                                 \
  , sample_text, std::uint8_t {                                                                              \
    sizeof sample_text                                                                                       \
  }
#define TEST_ARG_dsi(name) , sample_dsi
#define TEST_ARG_lang(name) , sample_language
#define TEST_ARG_fixed(value)

// Big-endian, written out here rather than borrowed from the library.
void append(Bytes &out, std::uint32_t v, unsigned bytes) {
  for (unsigned i = bytes; i-- > 0;)
    out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
#define TEST_WANT(kind, name) TEST_WANT_##kind(name);
#define TEST_WANT_u8(name) append(want, name_value(#name), 1)
#define TEST_WANT_u16(name) append(want, name_value(#name), 2)
#define TEST_WANT_u24(name) append(want, name_value(#name), 3)
#define TEST_WANT_u32(name) append(want, name_value(#name), 4)
#define TEST_WANT_bytes(name) want.insert(want.end(), std::begin(sample_text), std::end(sample_text))
#define TEST_WANT_dsi(name) want.insert(want.end(), sample_dsi.begin(), sample_dsi.end())
#define TEST_WANT_lang(name) want.insert(want.end(), sample_language.begin(), sample_language.end())
#define TEST_WANT_fixed(value) want.push_back(value)

#define TEST_DEST_DIRECT , destination
#define TEST_DEST_BROADCAST

struct family_row {
  const char *name;
  unsigned opcode;
  std::function<hdcec_err(std::uint8_t destination)> send;
  Bytes operands;
};

std::vector<family_row> family() {
  std::vector<family_row> rows;
#define HDCEC_MESSAGE(function, opcode, dest, ...)                                                           \
  {                                                                                                          \
    Bytes want;                                                                                              \
    HDCEC_FOR_EACH(TEST_WANT, __VA_ARGS__)                                                                   \
    rows.push_back({#function, opcode,                                                                       \
                    [](std::uint8_t destination) {                                                           \
                      (void)destination;                                                                     \
                      return function(0 TEST_DEST_##dest HDCEC_FOR_EACH(TEST_ARG, __VA_ARGS__));             \
                    },                                                                                       \
                    want});                                                                                  \
  }
#include "cec_messages.def"
#undef HDCEC_MESSAGE
  return rows;
}

TEST(CecFamily, CoversEveryOpcodeWithItsVariants) {
  std::map<unsigned, unsigned> functions_per_opcode;
  for (const family_row &r : family())
    ++functions_per_opcode[r.opcode];
  const std::map<unsigned, unsigned> variants = {{0x07, 2}, {0x09, 5}, {0x44, 6}, {0xA1, 2}, {0xA2, 2}};
  const unsigned opcodes[] = {
      0x00, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0D, 0x0F, 0x1A, 0x1B,           0x32,
      0x33, 0x34, 0x36, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x67, 0x70, 0x71,           0x72,
      0x7A, 0x7D, 0x7E, 0x80, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x89, 0x8A,           0x8B,
      0x8C, 0x8D, 0x8E, 0x8F, 0x90, 0x91, 0x92, 0x93, 0x97, 0x99, 0x9A, 0x9D, 0x9E,           0x9F,
      0xA1, 0xA2, 0xA3, 0xA4, 0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xF8, 0xFF, HDCEC_NO_OPCODE};
  std::map<unsigned, unsigned> expected;
  for (unsigned op : opcodes)
    expected[op] = variants.contains(op) ? variants.at(op) : 1;
  EXPECT_EQ(functions_per_opcode, expected);
}

TEST_F(CecRig, EveryFamilyMemberWritesItsFrame) {
  set_up(3);
  const std::set<unsigned> broadcasts = {0x80, 0x81, 0x82, 0x84, 0x85, 0x86, 0x87, 0x32, 0xF8};
  constexpr std::uint8_t destination = 0x0B;
  for (const family_row &r : family()) {
    SCOPED_TRACE(r.name);
    chip.clear_log();
    ASSERT_EQ(r.send(destination), 0u);
    const std::uint8_t header = broadcasts.contains(r.opcode) ? 0x3F : 0x30 | destination;
    Bytes frame = {header};
    if (r.opcode != HDCEC_NO_OPCODE) {
      frame.push_back(static_cast<std::uint8_t>(r.opcode));
      frame.insert(frame.end(), r.operands.begin(), r.operands.end());
    }
    Bytes written = {static_cast<std::uint8_t>(frame.size() + 2), 0};
    written.insert(written.end(), frame.begin(), frame.end());
    EXPECT_EQ(last_write(chip), written);
    EXPECT_EQ(bus(chip).back(), frame);
  }
}

// The family check derives its expectations from the table itself, so the order of operands is
// checked here, against frames written out from the standard's layouts.
TEST_F(CecRig, MultiOperandMessagesKeepTheStandardsOrder) {
  set_up(4);
  const hdcec_digital_service_id dsi = {0x81, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};
  struct row {
    const char *what;
    std::function<hdcec_err()> send;
    Bytes frame; // from the header on
  };
  const row rows[] = {
      {"routing change",
       [] { return hdcec_routing_change(0, 0x1000, 0x2100); },
       {0x4F, 0x80, 0x10, 0x00, 0x21, 0x00}},
      {"select analogue service",
       [] { return hdcec_select_analogue_service(0, 0, 1, 0x1234, 5); },
       {0x40, 0x92, 0x01, 0x12, 0x34, 0x05}},
      {"set analogue timer",
       [] { return hdcec_set_analogue_timer(0, 1, 31, 12, 0x20, 0x30, 0x01, 0x45, 0x7F, 2, 0x0ABC, 8); },
       {0x41, 0x34, 31, 12, 0x20, 0x30, 0x01, 0x45, 0x7F, 0x02, 0x0A, 0xBC, 0x08}},
      {"set digital timer",
       [&] { return hdcec_set_digital_timer(0, 1, 1, 2, 3, 4, 5, 6, 7, dsi); },
       {0x41, 0x97, 1, 2, 3, 4, 5, 6, 7, 0x81, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC}},
      {"record on analogue",
       [] { return hdcec_record_on_analogue_service(0, 1, 2, 0x0102, 3); },
       {0x41, 0x09, 0x03, 0x02, 0x01, 0x02, 0x03}},
      {"external timer by address",
       [] { return hdcec_set_external_timer_physical_address(0, 1, 1, 2, 3, 4, 5, 6, 7, 0x3300); },
       {0x41, 0xA2, 1, 2, 3, 4, 5, 6, 7, 0x05, 0x33, 0x00}},
      {"tune",
       [] { return hdcec_user_control_pressed_tune(0, 0, 0x0A0B0C0D); },
       {0x40, 0x44, 0x67, 0x0A, 0x0B, 0x0C, 0x0D}},
      {"tuner status analogue",
       [] { return hdcec_tuner_device_status_analogue(0, 0, 0x80, 1, 0x0203, 4); },
       {0x40, 0x07, 0x80, 0x01, 0x02, 0x03, 0x04}},
      {"cdc message",
       [] {
         const std::uint8_t params[] = {0xAA, 0xBB};
         return hdcec_cdc_message(0, 0x1000, 0x02, params, 2);
       },
       {0x4F, 0xF8, 0x10, 0x00, 0x02, 0xAA, 0xBB}},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.what);
    ASSERT_EQ(r.send(), 0u);
    EXPECT_EQ(bus(chip).back(), r.frame);
  }
}

TEST_F(CecRig, OperandsThatDoNotFitAFrameAreRefused) {
  set_up();
  const std::array<std::uint8_t, 16> long_text{};
  struct row {
    const char *what;
    std::function<hdcec_err()> send;
    hdcec_err want;
  };
  const row rows[] = {
      {"15-byte name", [&] { return hdcec_set_osd_name(0, 0, long_text.data(), 15); }, 0},
      {"16-byte name", [&] { return hdcec_set_osd_name(0, 0, long_text.data(), 16); },
       HDCEC_ERR_BAD_PARAMETER},
      {"CDC tail to the brim", [&] { return hdcec_cdc_message(0, 0x1000, 1, long_text.data(), 12); }, 0},
      {"CDC tail over it", [&] { return hdcec_cdc_message(0, 0x1000, 1, long_text.data(), 13); },
       HDCEC_ERR_BAD_PARAMETER},
      {"vendor id over 24 bits", [] { return hdcec_device_vendor_id(0, 0x1000000); },
       HDCEC_ERR_BAD_PARAMETER},
      {"destination 16", [] { return hdcec_standby(0, 16); }, HDCEC_ERR_BAD_PARAMETER},
      {"null name", [] { return hdcec_set_osd_name(0, 0, nullptr, 3); }, HDCEC_ERR_NULL_ARGUMENT},
      {"empty null name", [] { return hdcec_set_osd_name(0, 0, nullptr, 0); }, 0},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.what);
    chip.clear_log();
    EXPECT_EQ(r.send(), r.want);
    EXPECT_EQ(chip.log().size(), r.want == 0 ? 1u : 0u);
  }
}

TEST_F(CecRig, InitiatorAddressChangesTheHeader) {
  set_up(1);
  ASSERT_EQ(hdcec_set_initiator_address(instance, 4), 0u);
  ASSERT_EQ(hdcec_standby(instance, 0), 0u);
  ASSERT_EQ(hdcec_polling_message(instance, 4), 0u);
  EXPECT_EQ(bus(chip), (std::vector<Bytes>{{0x40, 0x36}, {0x44}}));
}

} // namespace
} // namespace cectest
