// The interrupt path: which received frames reach the application, the library's own answer to
// Abort, transmit results, and frames the core reports oddly.
#include "cec_rig.h"
#include "hdcec_messages.h"

namespace cectest {
namespace {

using Bytes = std::vector<std::uint8_t>;

// What the application saw of a frame: header, opcode, operands.
Bytes seen(const hdcec_frame &f) {
  // Built element by element: g++ 12 at -O2 misreads an insert after a two-byte list as an
  // overrun (-Warray-bounds).
  const std::size_t operands = f.size > 4 ? f.size - 4u : 0u;
  Bytes b(2 + operands);
  b[0] = f.header;
  b[1] = f.opcode;
  for (std::size_t i = 0; i < operands; ++i)
    b[2 + i] = f.operands[i];
  return b;
}

class CecInterrupt : public CecRig {
protected:
  void SetUp() override {
    CecRig::SetUp();
    set_up(1);
  }
  // Queues `frame` (header onwards) and runs one interrupt.
  hdcec_err receive(const Bytes &frame) {
    chip.cec_receive(frame);
    return hdcec_handle_interrupt(instance);
  }
};

TEST_F(CecInterrupt, DeliveryFollowsTheAddressingOfEachOpcode) {
  const unsigned broadcast_only[] = {0x32, 0x80, 0x81, 0x82, 0x84, 0x85, 0x86, 0x87, 0xF8};
  struct row {
    Bytes frame;
    bool delivered;
  };
  std::vector<row> rows = {
      {{0x01, 0x36}, true},             // Standby to this device
      {{0x0F, 0x36}, true},             // and to everyone
      {{0x01, 0x8F}, true},             // Give Device Power Status
      {{0x01, 0x9F}, true},             // an ordinary request
      {{0x01, 0x5A, 0x01}, true},       // an opcode the library has no function for
      {{0x01, 0x00, 0x9F, 0x00}, true}, // Feature Abort
      {{0x01, 0x47, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k', 'l', 'm', 'n', 'o'},
       true}, // full buffer
  };
  for (unsigned op : broadcast_only) {
    const auto o = static_cast<std::uint8_t>(op);
    rows.push_back({{0x01, o, 0x10, 0x00}, false});
    rows.push_back({{0x0F, o, 0x10, 0x00}, true});
  }
  for (const row &r : rows) {
    SCOPED_TRACE(::testing::PrintToString(r.frame));
    calls.clear();
    ASSERT_EQ(receive(r.frame), 0u);
    if (!r.delivered) {
      EXPECT_TRUE(calls.empty());
      continue;
    }
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].event, HDCEC_EVENT_RECEIVED);
    EXPECT_EQ(calls[0].frame.size, r.frame.size() + 2);
    EXPECT_EQ(seen(calls[0].frame), r.frame);
  }
  EXPECT_TRUE(bus(chip).empty()) << "nothing here is answered by the library";
}

TEST_F(CecInterrupt, FramesTheCoreReportsOddlyAreDroppedOrBounded) {
  struct row {
    const char *what;
    std::uint8_t size, status;
    unsigned delivered_size; // 0: dropped
  };
  const row rows[] = {
      {"empty", 0, 0x81, 0},
      {"size only", 1, 0x81, 0},
      {"no header", 2, 0x81, 0},
      {"header without opcode", 3, 0x81, 0},
      {"shortest message", 4, 0x81, 4},
      {"size beyond the buffer", 0xC8, 0x81, 19},
      {"unknown status", 6, 0x02, 0},
      {"no status", 6, 0x00, 0},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.what);
    calls.clear();
    for (std::uint8_t reg = 0x07; reg < 0x07 + 19; ++reg)
      chip.set_cec_reg(reg, 0x5A);
    chip.set_cec_reg(0x07, r.size);
    chip.set_cec_reg(0x08, r.status);
    chip.set_cec_reg(0x09, 0x01);
    chip.set_cec_reg(0x0A, 0x36);
    chip.set_cec_reg(0xEE, 0x01);
    ASSERT_EQ(hdcec_handle_interrupt(instance), 0u);
    if (r.delivered_size == 0) {
      EXPECT_TRUE(calls.empty());
      continue;
    }
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].frame.size, r.delivered_size);
    EXPECT_EQ(calls[0].frame.opcode, 0x36);
  }
}

TEST_F(CecInterrupt, NoWaitingEventReadsNothingMore) {
  chip.clear_log();
  ASSERT_EQ(hdcec_handle_interrupt(instance), 0u);
  EXPECT_EQ(chip.log_text(), "R 34 -- EE +1\n");
  EXPECT_TRUE(calls.empty());
}

TEST_F(CecInterrupt, AbortIsRefusedFromTheAddressItWasSentTo) {
  struct row {
    Bytes frame;
    Bytes reply; // empty: ignored
  };
  const row rows[] = {
      {{0x01, 0xFF}, {0x10, 0x00, 0xFF, 0x04}}, // from the television to this device
      {{0x34, 0xFF}, {0x43, 0x00, 0xFF, 0x04}}, // to another address the core accepted
      {{0x0F, 0xFF}, {}},                       // broadcast
      {{0xF1, 0xFF}, {}},                       // from the unregistered address
  };
  for (const row &r : rows) {
    SCOPED_TRACE(::testing::PrintToString(r.frame));
    const std::size_t sent_before = bus(chip).size();
    calls.clear();
    ASSERT_EQ(receive(r.frame), 0u);
    EXPECT_TRUE(calls.empty()) << "an Abort never reaches the application";
    const auto sent = bus(chip);
    if (r.reply.empty()) {
      EXPECT_EQ(sent.size(), sent_before);
      continue;
    }
    ASSERT_EQ(sent.size(), sent_before + 1);
    EXPECT_EQ(sent.back(), r.reply);
    // The reply's own transmit result, then the device's address is its own again.
    ASSERT_EQ(hdcec_handle_interrupt(instance), 0u);
    ASSERT_EQ(hdcec_give_osd_name(instance, 0), 0u);
    EXPECT_EQ(bus(chip).back(), (Bytes{0x10, 0x46}));
    ASSERT_EQ(hdcec_handle_interrupt(instance), 0u);
  }
}

TEST_F(CecInterrupt, AFailedAbortReplyIsReportedAndTheAddressRestored) {
  fail_writes();
  EXPECT_EQ(receive({0x02, 0xFF}), HDCEC_ERR_I2C_WRITE);
  chip.set_fail(nullptr);
  ASSERT_EQ(hdcec_standby(instance, 0), 0u);
  EXPECT_EQ(bus(chip), (std::vector<Bytes>{{0x10, 0x36}}));
}

TEST_F(CecInterrupt, TransmitResultReportsTheLastSentMessage) {
  struct row {
    bool ack;
    std::uint8_t status;
  };
  for (const row r : {row{true, 0}, row{false, 1}}) {
    SCOPED_TRACE(r.ack);
    calls.clear();
    chip.set_cec_ack(r.ack);
    ASSERT_EQ(hdcec_feature_abort(instance, 4, 0x9F, 3), 0u);
    ASSERT_EQ(hdcec_handle_interrupt(instance), 0u);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].event, HDCEC_EVENT_TX_STATUS);
    EXPECT_EQ(calls[0].frame.size, 6);
    EXPECT_EQ(seen(calls[0].frame), (Bytes{0x14, 0x00, 0x9F, 0x03}));
    EXPECT_EQ(calls[0].frame.status, r.status);
  }
}

// The daemon answers requests from inside the callback, so the library must be re-entered there.
TEST_F(CecInterrupt, TheCallbackMaySendItsReply) {
  static hdcec_err reply_result = 1;
  const hdcec_callback_func answer = [](unsigned event, const hdcec_frame *f) {
    if (event == HDCEC_EVENT_RECEIVED && f->opcode == 0x9F)
      reply_result = hdcec_version(0, 0, 4);
  };
  ASSERT_EQ(hdcec_register_callbacks(instance, answer), 0u);
  ASSERT_EQ(receive({0x01, 0x9F}), 0u);
  EXPECT_EQ(reply_result, 0u);
  EXPECT_EQ(bus(chip), (std::vector<Bytes>{{0x10, 0x9E, 0x04}}));
}

} // namespace
} // namespace cectest
