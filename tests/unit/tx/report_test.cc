// The report's 43 lines as a server receives them, the cursor rules and the memory figure.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <sys/socket.h>
#include <unistd.h>

#include "report.h"
#include "tx_fixture.h"

namespace {

class Report : public testing::Test {
protected:
  std::unique_ptr<tesseltx> t;
  int far_end = -1;
  rrdc *c = nullptr;

  void SetUp() override {
    t = parsed({"-s", "127.0.0.1:0", "-d", "127.0.0.1:9", "-e", "100000"});
    ready_ring(t.get());
    c = &t->rrd;
    c->box = t.get();
    c->report = tun_rrd_report;
    std::snprintf(c->prefix, sizeof c->prefix, "tx1");
    c->now.tv_sec = 500;
    // A connected client whose server end is ours.
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
    c->sock = sv[0];
    far_end = sv[1];
    c->conn_state = RRD_CONNECTED;
  }
  void TearDown() override {
    close(c->sock);
    close(far_end);
  }
  std::string received() {
    std::string out;
    char buf[8192];
    ssize_t n;
    while ((n = read(far_end, buf, sizeof buf)) > 0) {
      out.append(buf, static_cast<size_t>(n));
    }
    return out;
  }
  std::string line(int no) {
    char buf[2048];
    const int n = tun_rrd_line(t.get(), c, no, buf, sizeof buf);
    return n < 0 ? std::string("<none>") : std::string(buf, static_cast<size_t>(n));
  }
};

TEST_F(Report, FortyThreeLinesFromTheSnapshotsOneWritePerCall) {
  stats &s = t->stat2;
  tx_stats &tr = t->active_tr->stat2;
  tr.sent = 42;
  for (unsigned i = 0; i < 16; ++i) {
    tr.resent[i] = 100 + i;
  }
  tr.too_late_to_send = 3;
  tr.too_late_to_resend = 4;
  tr.ping_pkts = 7;
  tr.fec = 8;
  s.in_pkts = 11;
  s.select = 12;
  s.t_fdsel = 21;
  s.t_fdset = 22;
  s.t_net_tx = 23;
  s.t_ch_rep = 24;
  s.t_pre_fdsel = 25;
  s.t_pre_fdset = 26;
  s.t_select = 27;
  s.t_net_rx = 28;
  s.cc = 31;
  s.tei = 32;
  s.sb = 33;
  s.sendto_err = 34;
  s.t_aes = 1ull << 40;
  t->stat.in_pkts = 999; // live values are not what is reported
  t->active_tr->stat.sent = 999;

  c->line_no = 1;
  std::string out;
  for (int i = 1; i <= 43; ++i) {
    tun_rrd_report(c);
    EXPECT_EQ(c->line_no, i + 1);
    const std::string got = received();
    EXPECT_EQ(std::count(got.begin(), got.end(), '\n'), 1) << "one line per call, at line " << i;
    out += got;
  }
  tun_rrd_report(c);
  EXPECT_EQ(c->line_no, 0) << "the report is over";
  EXPECT_EQ(received(), "");

  std::string expected = "BATCH\nupdate tx1/cpu.rrd 500:CPU\n"
                         "update tx1/snt.rrd 500:42\n"
                         "update tx1/rsnt.rrd 500:100\n"
                         "update tx1/tls.rrd 500:3\n"
                         "update tx1/tlrs.rrd 500:4\n"
                         "update tx1/outq.rrd 500:U:U:U\n"
                         "update tx1/repq.rrd 500:U:U:U\n"
                         "update tx1/recv.rrd 500:11\n"
                         "update tx1/sel.rrd 500:12\n";
  for (int i = 1; i <= 15; ++i) {
    char l[64];
    std::snprintf(l, sizeof l, "update tx1/rsnt%02d.rrd 500:%d\n", i, 100 + i);
    expected += l;
  }
  expected += "update tx1/t_fdsel.rrd 500:21\n"
              "update tx1/t_fdset.rrd 500:22\n"
              "update tx1/t_net_tx.rrd 500:23\n"
              "update tx1/t_ch_rep.rrd 500:24\n"
              "update tx1/t_pre_fdsel.rrd 500:25\n"
              "update tx1/t_pre_fdset.rrd 500:26\n"
              "update tx1/t_select.rrd 500:27\n"
              "update tx1/t_net_rx.rrd 500:28\n"
              "update tx1/cc.rrd 500:31\n"
              "update tx1/tei.rrd 500:32\n"
              "update tx1/sb.rrd 500:33\n"
              "update tx1/snderr.rrd 500:34\n"
              "update tx1/from_kernel.rrd 500:U:U:U\n"
              "update tx1/ping_rcv.rrd 500:7\n"
              "update tx1/fec_snt.rrd 500:8\n"
              "update tx1/mem.rrd 500:MEM\n"
              "update tx1/t_aes.rrd 500:1099511627776\n"
              ".\n";
  // CPU time and memory are read as the line is written; their shape is checked.
  const std::regex cpu("cpu\\.rrd 500:[0-9]+\n");
  const std::regex mem("mem\\.rrd 500:[1-9][0-9]*\n");
  out = std::regex_replace(out, cpu, "cpu.rrd 500:CPU\n");
  out = std::regex_replace(out, mem, "mem.rrd 500:MEM\n");
  EXPECT_EQ(out, expected);
}

TEST_F(Report, AccumulatorsPrintAverageMinMaxUnsignedExceptFromKernel) {
  for (std::int64_t v : {-5, -1, -2}) {
    rrd_int64_add(&t->active_tr->stat2.tr_queue, v);
    rrd_int64_add(&t->stat2.from_driver, v);
  }
  for (std::int64_t v : {2, 9, 4}) {
    rrd_int64_add(&t->active_tr->stat2.retr_queue, v);
  }
  EXPECT_EQ(line(7),
            "update tx1/outq.rrd 500:18446744073709551614:18446744073709551611:18446744073709551615 \n");
  EXPECT_EQ(line(8), "update tx1/repq.rrd 500:5:2:9 \n");
  EXPECT_EQ(line(38), "update tx1/from_kernel.rrd 500:-2:-5:-1 \n");
}

TEST_F(Report, ACursorOutsideTheReportWritesNothingAndGoesIdle) {
  for (int cursor : {0, 44, 45, -1}) {
    c->line_no = cursor;
    tun_rrd_report(c);
    EXPECT_EQ(c->line_no, 0) << cursor;
    EXPECT_EQ(received(), "") << cursor;
  }
}

TEST(VmSize, TheNumberAfterTheKeyAtALineStart) {
  const std::string status = "Name:\ttesseltx\nVmPeak:\t  999 kB\nVmSize:     12345 kB\nVmLck:\t 0 kB\n";
  EXPECT_EQ(tun_vmsize_kb(status.data(), status.size()), 12345u);
  const std::string none = "Name:\tx\nXVmSize: 77 kB\nVmRSS: 5 kB";
  EXPECT_EQ(tun_vmsize_kb(none.data(), none.size()), 0u);
  const std::string last = "Name:\tx\nVmSize:\t42";
  EXPECT_EQ(tun_vmsize_kb(last.data(), last.size()), 42u) << "no newline after the last line";
  const std::string huge = "VmSize:\t21474929708 kB\n";
  EXPECT_EQ(tun_vmsize_kb(huge.data(), huge.size()), 21474929708u) << "beyond 32 bits, not wrapped";
}

} // namespace
