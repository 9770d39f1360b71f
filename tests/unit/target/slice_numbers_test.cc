// Slice numbers are 64 bits; after 2^32 slices (about 52 days of a 10 Mbit/s stream) the
// transmitter's messages must still show them whole on the target's 32-bit CPU.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "capture.h"
#include "retransmit.h"
#include "transmission.h"
#include "tx_fixture.h"

namespace {

constexpr std::uint64_t past_32_bits = (std::uint64_t{1} << 32) + 5;

class SliceNumbers : public testing::Test {
protected:
  std::unique_ptr<tesseltx> t;

  void SetUp() override {
    t = parsed({"-d", "127.0.0.1:9", "-e", "100000", "-o", "5000"});
    ready_ring(t.get());
    t->next = past_32_bits + 1;
  }
};

TEST_F(SliceNumbers, MessagesShowNumbersPast32BitsWhole) {
  struct row {
    const char *what;
    void (*act)(tesseltx *);
    const char *expected;
  };
  const row rows[] = {
      {"activation", [](tesseltx *x) { tr_activate(x->tr); }, "@4294967301"},
      {"request for a future slice",
       [](tesseltx *x) {
         tun_request_packet &p = x->tr->packet.request;
         tun_header_init(&p.h, 7, TUN_REQUEST);
         p.seqs[0] = x->next + 10; // 4294967312
         p.h.size = 1;
         tun_request(x->tr, 16);
       },
       "4294967312 100000010 requested future packet (last:4294967301)"},
      {"request for a slice that left the ring",
       [](tesseltx *x) {
         tun_request_packet &p = x->tr->packet.request;
         tun_header_init(&p.h, 7, TUN_REQUEST);
         p.seqs[0] = 7;
         p.h.size = 1;
         tun_request(x->tr, 16);
       },
       "7 requested packet is too old (last:4294963206)"},
  };
  for (const row &r : rows) {
    fd_capture err;
    r.act(t.get());
    const std::string text = err.text();
    EXPECT_NE(text.find(r.expected), std::string::npos) << r.what << ": " << text;
  }
}

} // namespace
