#include "cec_rig.h"

#include <algorithm>
#include <utility>

namespace cectest {

namespace {

chipsim::Chip *current = nullptr;
std::vector<std::pair<std::size_t, unsigned>> waits; // (log length at the time, ms)
std::vector<delivered> *sink = nullptr;

hdtx_err record_wait(std::uint16_t ms) {
  waits.emplace_back(current->log().size(), ms);
  return HDTX_OK;
}

void record_callback(unsigned event, const hdcec_frame *frame) {
  sink->push_back({event, *frame});
}

} // namespace

void CecRig::SetUp() {
  current = &chip;
  sink = &calls;
  waits.clear();
  chipsim::set_current(&chip);
  hdcec_set_wait_function(record_wait);
  ASSERT_EQ(hdcec_open(&instance), 0u);
  ASSERT_EQ(hdcec_register_callbacks(instance, record_callback), 0u);
}

void CecRig::TearDown() {
  hdcec_close(0);
  hdcec_set_wait_function(nullptr);
  chipsim::set_current(nullptr);
  current = nullptr;
  sink = nullptr;
}

void CecRig::set_up(std::uint8_t address) {
  const hdcec_setup_info setup{address, 1};
  ASSERT_EQ(hdcec_instance_setup(instance, &setup), 0u);
  chip.clear_log();
  waits.clear();
}

std::vector<std::string> CecRig::trace() const {
  std::vector<std::string> lines;
  const std::vector<chipsim::Transfer> log = chip.log();
  std::size_t next_wait = 0;
  for (std::size_t i = 0; i <= log.size(); ++i) {
    for (; next_wait < waits.size() && waits[next_wait].first == i; ++next_wait)
      lines.push_back("wait " + std::to_string(waits[next_wait].second));
    if (i < log.size())
      lines.push_back(chipsim::format_transfer(log[i]));
  }
  return lines;
}

void CecRig::fail_reads() {
  chip.set_fail([](const chipsim::Transfer &t) { return t.slave == chipsim::cec_core_address && !t.write; });
}

void CecRig::fail_writes() {
  chip.set_fail([](const chipsim::Transfer &t) { return t.slave == chipsim::cec_core_address && t.write; });
}

std::vector<std::vector<std::uint8_t>> bus(const chipsim::Chip &chip) {
  return chip.cec_sent();
}

} // namespace cectest
