#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>

#include "aes_receive.h"
#include "capture.h"
#include "ratelimit.h"
#include "receive.h"
#include "tesseltx.h"

namespace {

timespec64 at_ms(std::int64_t ms) {
  return timespec64{ms / 1000, (ms % 1000) * 1000000};
}

std::size_t count_of(const std::string &text, const std::string &what) {
  std::size_t n = 0;
  for (std::size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) {
    ++n;
  }
  return n;
}

TEST(RateLimit, BurstThenAFewPerSecondThenTheCountOfThoseHeld) {
  struct step {
    std::int64_t ms;
    unsigned events;
    unsigned passed;
    std::uint64_t reported_before; // tx_ratelimit_report just before the events
  };
  // burst 3, then 2 per second
  const step steps[] = {
      {0, 3, 3, 0},    // the burst, all at once
      {100, 5, 2, 0},  // its second opens: two pass, three held
      {900, 1, 0, 0},  // same second, nothing reported yet
      {1100, 4, 2, 4}, // next second: the four held are reported once, two more pass
      {1200, 0, 0, 0}, // same second: nothing to report yet
      {5000, 0, 0, 2}, // long after: the two held, even without a new event
      {5001, 0, 0, 0}, // reported only once
      {1050, 1, 1, 0}, // a clock that went back opens a new second
  };
  tx_ratelimit rl = tx_ratelimit_of(3, 2);
  for (const step &s : steps) {
    SCOPED_TRACE(s.ms);
    EXPECT_EQ(tx_ratelimit_report(&rl, at_ms(s.ms)), s.reported_before);
    unsigned passed = 0;
    for (unsigned i = 0; i < s.events; ++i) {
      passed += tx_ratelimit_pass(&rl, at_ms(s.ms)) ? 1u : 0u;
    }
    EXPECT_EQ(passed, s.passed);
  }
  EXPECT_EQ(rl.held_total, 6u);
}

TEST(RateLimit, ALongFloodIsBoundedPerSecond) {
  tx_ratelimit rl = tx_ratelimit_of(10, 2);
  unsigned passed = 0;
  unsigned reports = 0;
  // 100000 events over 10 s of virtual time, one every 100 us
  for (std::int64_t us = 0; us < 10000000; us += 100) {
    const timespec64 now{us / 1000000, (us % 1000000) * 1000};
    reports += tx_ratelimit_report(&rl, now) != 0 ? 1u : 0u;
    passed += tx_ratelimit_pass(&rl, now) ? 1u : 0u;
  }
  EXPECT_EQ(passed, 10u + 2u * 10u);
  EXPECT_LE(reports, 10u);
  EXPECT_GE(reports, 9u);
}

TEST(Printable, ControlAndBrokenBytesAreEscapedValidUtf8Stays) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"far end", "far end"},
      {"a\nb\tc\x7f", "a\\x0ab\\x09c\\x7f"},
      {"\x1b[2J\x1b]0;title\x07", "\\x1b[2J\\x1b]0;title\\x07"},
      {std::string("nul\0x", 5), "nul\\x00x"},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xa5", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xa5"},
      {"\xc2\x9b"
       "31m",
       "\\xc2\\x9b31m"},                            // C1 control (CSI) in UTF-8
      {"\xff\xfe", "\\xff\\xfe"},                   // never UTF-8
      {"\xc3", "\\xc3"},                            // cut short
      {"\xc0\xaf", "\\xc0\\xaf"},                   // overlong
      {"\xed\xa0\x80", "\\xed\\xa0\\x80"},          // surrogate
      {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"}, // past U+10FFFF
  };
  for (const auto &c : cases) {
    EXPECT_EQ(tun_printable(c.in), c.out) << c.out;
  }
}

TEST(Printable, ALongTextIsCutBetweenCharactersAndEscapes) {
  const struct {
    std::string in;
    std::size_t max;
    std::string out;
  } cases[] = {
      {"abcdefgh", 8, "abcdefgh"},
      {"abcdefghi", 8, "abcde..."},
      {"ab\x01"
       "cdefghi",
       9, "ab\\x01..."},
      {"ab\x01"
       "cdefghi",
       8, "ab..."},                                          // the escape would not fit whole
      {"ab\xc3\xa9\xc3\xa9xyz", 9, "ab\xc3\xa9\xc3\xa9xyz"}, // exactly full
      {"ab\xc3\xa9\xc3\xa9xyzw", 8, "ab\xc3\xa9..."},        // nor would a character
  };
  for (const auto &c : cases) {
    const std::string got = tun_printable(c.in, c.max);
    EXPECT_EQ(got, c.out) << c.in;
    EXPECT_LE(got.size(), c.max);
  }
}

// One output over a filled ring, on a virtual clock, with what it logs captured.
class PeerLimits : public testing::Test {
protected:
  fd_capture err;
  std::unique_ptr<tesseltx> t;
  transmission *tr = nullptr;

  void SetUp() override {
    t = std::make_unique<tesseltx>();
    t->now = at_ms(1000);
    sockaddr_in sin{};
    sin.sin_port = htons(5000);
    tr = tr_new(t.get(), sin, -1);
    t->buff_size = 64;
    t->buffer.reset(static_cast<tun_slice *>(std::calloc(64, sizeof(tun_slice))));
    t->active_tr = tr;
    tr_init_buffer(tr);
    t->next = 1000;
  }
  void TearDown() override {
    t->aes.reset();
  }
  void receive(const std::vector<std::uint8_t> &d) {
    std::memcpy(tr->packet.raw, d.data(), d.size());
    tr_receive(tr, d.size());
  }
  std::vector<std::uint8_t> header(std::uint8_t type, std::size_t body = 0) {
    std::vector<std::uint8_t> d(8 + body, 0);
    tun_packet_header h{};
    tun_header_init(&h, 7, type);
    tun_set_body_length(&h, body);
    std::memcpy(d.data(), &h, sizeof h);
    return d;
  }
  std::vector<std::uint8_t> request(std::uint64_t seq) {
    auto d = header(TUN_REQUEST);
    d[6] = 1; // one number
    d.resize(16);
    std::memcpy(d.data() + 8, &seq, 8);
    return d;
  }
};

TEST_F(PeerLimits, EachKindOfRefusalIsLimitedOnItsOwnAndCountedAfterwards) {
  auto wrong_magic = header(TUN_PING);
  wrong_magic[0] ^= 0xFF;
  auto wrong_version = header(TUN_PING);
  wrong_version[4] = 3;
  auto unknown = header(0x1F);
  const struct {
    std::vector<std::uint8_t> d;
    std::string line;
    std::string count;
  } kinds[] = {
      {wrong_magic, "[0] Wrong MAGIC!\n", "[0] Wrong MAGIC!: 988 more suppressed"},
      {wrong_version, "[0] Wrong protocol version 3 (7 required)",
       "[0] Wrong protocol version: 988 more suppressed"},
      {unknown, "[0] Unknown command type: 0x1f", "[0] Unknown command type: 988 more suppressed"},
      {request(5000), "requested future packet (last:999)",
       "[0] requested future packet: 988 more suppressed"},
      {request(3), "requested packet is too old (last:936)",
       "[0] requested packet is too old: 988 more suppressed"},
  };
  for (const auto &k : kinds) {
    for (int i = 0; i < 1000; ++i) {
      receive(k.d);
    }
  }
  t->now = at_ms(2500);
  receive(header(TUN_PING)); // anything the output receives next brings the counts out
  const std::string log = err.text();
  for (const auto &k : kinds) {
    EXPECT_EQ(count_of(log, k.line), 10u + 2u) << k.line; // the burst and the second's two
    EXPECT_EQ(count_of(log, k.count), 1u) << log;
  }
  EXPECT_EQ(tr->stat.ping_pkts, 1u) << "the stream's own traffic is untouched";
}

TEST_F(PeerLimits, ARequestThatIsServedIsNotLimited) {
  for (std::uint64_t s = 990; s < 1000; ++s) {
    for (int i = 0; i < 50; ++i) {
      receive(request(s));
    }
  }
  EXPECT_EQ(tr->stat.slices_to_resend, 10u);
  EXPECT_EQ(err.text(), "");
}

TEST_F(PeerLimits, KeyRepliesPastTheBurstAreAFewPerSecond) {
  t->aes = aes_new(&t->nk);
  ASSERT_EQ(aes_init_key(t->aes.get()), 1);
  tun_aes_ptr asker = aes_new(&t->nk);
  ASSERT_EQ(aes_init_decryption(asker.get()), 1);
  const timespec64 zero{};
  const auto *req = reinterpret_cast<const std::uint8_t *>(aes_get_request_packet(asker.get(), &zero));
  const std::vector<std::uint8_t> key_request(req, req + aes_request_length(asker.get()));
  const auto replies_for = [&](int requests) {
    int made = 0;
    for (int i = 0; i < requests; ++i) {
      receive(key_request);
      made += tr->aes_reply != nullptr ? 1 : 0;
      tr->aes_reply = nullptr;
    }
    return made;
  };
  EXPECT_EQ(replies_for(100), 4 + 2);
  t->now = at_ms(1500);
  EXPECT_EQ(replies_for(100), 0) << "same second";
  t->now = at_ms(2100);
  EXPECT_EQ(replies_for(100), 2);
  const std::string log = err.text();
  EXPECT_EQ(count_of(log, "[0] Public key received."), 8u);
  EXPECT_EQ(count_of(log, "[0] Key requests over the rate limit: 194 more suppressed"), 1u) << log;
}

TEST_F(PeerLimits, DescriptionsAreLoggedPrintableAndLimitedWhileTheDumpKeepsTheLatest) {
  t->syslog_prefix = "unittest-limits";
  const auto info = [&](const std::string &desc) {
    std::vector<std::uint8_t> body = {TUN_TLV_NODE_NO, 1, 7, TUN_TLV_DESCRIPTION,
                                      static_cast<std::uint8_t>(desc.size())};
    body.insert(body.end(), desc.begin(), desc.end());
    auto d = header(TUN_INFO_REPLY, body.size());
    std::memcpy(d.data() + 8, body.data(), body.size());
    return d;
  };
  receive(info("evil\x1b[2J\nfake: line\xff"));
  EXPECT_NE(err.text().find("[0] RX info: HA7: -, rx0: evil\\x1b[2J\\x0afake: line\\xff"), std::string::npos)
      << err.text();
  for (int i = 0; i < 100; ++i) {
    receive(info("d" + std::to_string(i)));
  }
  EXPECT_EQ(count_of(err.text(), "RX info:"), 12u);
  std::FILE *f = std::fopen(tun_info_dump_path("unittest-limits").c_str(), "r");
  ASSERT_NE(f, nullptr);
  char buf[256] = {};
  const std::size_t n = std::fread(buf, 1, sizeof buf - 1, f);
  std::fclose(f);
  EXPECT_EQ(std::string(buf, n), "node_no: 7\ndescription: d99\n");
  std::remove(tun_info_dump_path("unittest-limits").c_str());
}

} // namespace
