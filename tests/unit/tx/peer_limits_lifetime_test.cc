// An output's peer limits belong to its transmission record: a record made after another was
// freed (often at the same address) starts with fresh limits, and one output's flood never
// spends another's.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <memory>
#include <string>

#include "capture.h"
#include "receive.h"
#include "tesseltx.h"

namespace {

std::size_t count_of(const std::string &text, const std::string &what) {
  std::size_t n = 0;
  for (std::size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) {
    ++n;
  }
  return n;
}

void wrong_magic(transmission *tr, int times) {
  for (int i = 0; i < times; ++i) {
    std::memset(tr->packet.raw, 0xA5, 8);
    tr_receive(tr, 8);
  }
}

std::unique_ptr<tesseltx> record_with_outputs(int outputs) {
  auto t = std::make_unique<tesseltx>();
  t->now = {1000, 0};
  for (int i = 0; i < outputs; ++i) {
    sockaddr_in sin{};
    sin.sin_port = htons(static_cast<std::uint16_t>(5000 + 10 * i));
    tr_new(t.get(), sin, -1);
  }
  return t;
}

TEST(PeerLimitsLifetime, EachNewRecordAndEachOutputLogsItsOwnFirstLines) {
  fd_capture err;
  for (int round = 0; round < 4; ++round) {
    auto t = record_with_outputs(2);
    wrong_magic(t->tr, 200); // within one second: the burst and two more
    wrong_magic(t->tr->next, 5);
    const std::string log = err.text();
    EXPECT_EQ(count_of(log, "[0] Wrong MAGIC!\n"), 12u * static_cast<unsigned>(round + 1)) << round;
    EXPECT_EQ(count_of(log, "[1] Wrong MAGIC!\n"), 5u * static_cast<unsigned>(round + 1)) << round;
  }
}

} // namespace
