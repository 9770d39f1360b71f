#include "report.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

#include "nodekit.h"
#include "stop.h"
#include "tesseltx.h"

namespace {

enum class shape { literal, counter, accumulator, signed_accumulator, memory };

struct line_def {
  shape kind;
  const char *name; // data source, or the literal text
};

// Index = line_no. Lines 11 to 25 (rsnt01..rsnt15) are named by number below.
constexpr line_def lines[tun_rrd_report_lines + 1] = {
    {shape::literal, ""},
    {shape::literal, "BATCH\n"},
    {shape::counter, "cpu"},
    {shape::counter, "snt"},
    {shape::counter, "rsnt"},
    {shape::counter, "tls"},
    {shape::counter, "tlrs"},
    {shape::accumulator, "outq"},
    {shape::accumulator, "repq"},
    {shape::counter, "recv"},
    {shape::counter, "sel"},
    {shape::counter, "rsnt01"},
    {shape::counter, "rsnt02"},
    {shape::counter, "rsnt03"},
    {shape::counter, "rsnt04"},
    {shape::counter, "rsnt05"},
    {shape::counter, "rsnt06"},
    {shape::counter, "rsnt07"},
    {shape::counter, "rsnt08"},
    {shape::counter, "rsnt09"},
    {shape::counter, "rsnt10"},
    {shape::counter, "rsnt11"},
    {shape::counter, "rsnt12"},
    {shape::counter, "rsnt13"},
    {shape::counter, "rsnt14"},
    {shape::counter, "rsnt15"},
    {shape::counter, "t_fdsel"},
    {shape::counter, "t_fdset"},
    {shape::counter, "t_net_tx"},
    {shape::counter, "t_ch_rep"},
    {shape::counter, "t_pre_fdsel"},
    {shape::counter, "t_pre_fdset"},
    {shape::counter, "t_select"},
    {shape::counter, "t_net_rx"},
    {shape::counter, "cc"},
    {shape::counter, "tei"},
    {shape::counter, "sb"},
    {shape::counter, "snderr"},
    {shape::signed_accumulator, "from_kernel"},
    {shape::counter, "ping_rcv"},
    {shape::counter, "fec_snt"},
    {shape::memory, "mem"},
    {shape::counter, "t_aes"},
    {shape::literal, ".\n"},
};

std::uint64_t process_cpu_us() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000u;
}

// Read with plain descriptors into a stack buffer: no allocation on the loop's path.
std::uint64_t memory_kb(tesseltx *t) {
  const int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    tx_die(t, "Unable to read /proc/self/status to check memory usage");
  }
  char text[8192];
  std::size_t len = 0;
  while (len < sizeof text) {
    const ssize_t n = read(fd, text + len, sizeof text - len);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    len += static_cast<std::size_t>(n);
  }
  close(fd);
  return tun_vmsize_kb(text, len);
}

std::uint64_t counter_value(const tesseltx *t, const tx_stats &tr, int line_no) {
  const stats &s = t->stat2;
  if (line_no >= 11 && line_no <= 25) {
    return tr.resent[line_no - 10];
  }
  switch (line_no) {
  case 3:
    return tr.sent;
  case 4:
    return tr.resent[0];
  case 5:
    return tr.too_late_to_send;
  case 6:
    return tr.too_late_to_resend;
  case 9:
    return s.in_pkts;
  case 10:
    return s.select;
  case 26:
    return s.t_fdsel;
  case 27:
    return s.t_fdset;
  case 28:
    return s.t_net_tx;
  case 29:
    return s.t_ch_rep;
  case 30:
    return s.t_pre_fdsel;
  case 31:
    return s.t_pre_fdset;
  case 32:
    return s.t_select;
  case 33:
    return s.t_net_rx;
  case 34:
    return s.cc;
  case 35:
    return s.tei;
  case 36:
    return s.sb;
  case 37:
    return s.sendto_err;
  case 39:
    return tr.ping_pkts;
  case 40:
    return tr.fec;
  case 42:
    return s.t_aes;
  default:
    return 0;
  }
}

const int64_rrd &accumulator(const tesseltx *t, const tx_stats &tr, int line_no) {
  if (line_no == 7) {
    return tr.tr_queue;
  }
  if (line_no == 8) {
    return tr.retr_queue;
  }
  return t->stat2.from_driver;
}

int clamp_length(int n, std::size_t size) {
  if (n < 0) {
    return -1;
  }
  return static_cast<std::size_t>(n) < size ? n : static_cast<int>(size) - 1;
}

} // namespace

std::uint64_t tun_vmsize_kb(const char *status, std::size_t len) {
  static constexpr char key[] = "VmSize:";
  constexpr std::size_t key_len = sizeof key - 1;
  std::size_t pos = 0;
  while (pos < len) {
    const char *line = status + pos;
    const void *nl = std::memchr(line, '\n', len - pos);
    const std::size_t line_len =
        nl ? static_cast<std::size_t>(static_cast<const char *>(nl) - line) : len - pos;
    if (line_len >= key_len && std::memcmp(line, key, key_len) == 0) {
      std::size_t i = key_len;
      while (i < line_len && (line[i] == ' ' || line[i] == '\t')) {
        ++i;
      }
      std::uint64_t value = 0;
      for (; i < line_len && line[i] >= '0' && line[i] <= '9'; ++i) {
        value = value * 10u + static_cast<std::uint64_t>(line[i] - '0');
      }
      return value;
    }
    pos += line_len + 1;
  }
  return 0;
}

int tun_rrd_line(tesseltx *t, const rrdc *c, int line_no, char *out, std::size_t size) {
  if (line_no < 1 || line_no > tun_rrd_report_lines) {
    return -1;
  }
  const line_def &def = lines[line_no];
  const char *p = c->prefix;
  const int when = static_cast<int>(c->now.tv_sec);
  static const tx_stats no_output{};
  const tx_stats &tr = t->active_tr != nullptr ? t->active_tr->stat2 : no_output;
  int n = 0;
  switch (def.kind) {
  case shape::literal:
    n = std::snprintf(out, size, "%s", def.name);
    break;
  case shape::counter: {
    const std::uint64_t v = line_no == 2 ? process_cpu_us() : counter_value(t, tr, line_no);
    n = std::snprintf(out, size, "update %s/%s.rrd %d:%llu\n", p, def.name, when,
                      static_cast<unsigned long long>(v));
    break;
  }
  case shape::accumulator:
  case shape::signed_accumulator: {
    const int64_rrd &a = accumulator(t, tr, line_no);
    if (a.count == 0) {
      n = std::snprintf(out, size, "update %s/%s.rrd %d:U:U:U\n", p, def.name, when);
    } else if (def.kind == shape::accumulator) {
      n = std::snprintf(out, size, "update %s/%s.rrd %d:%llu:%llu:%llu \n", p, def.name, when,
                        static_cast<unsigned long long>(a.sum / a.count),
                        static_cast<unsigned long long>(a.min), static_cast<unsigned long long>(a.max));
    } else {
      n = std::snprintf(out, size, "update %s/%s.rrd %d:%lld:%lld:%lld \n", p, def.name, when,
                        static_cast<long long>(a.sum / a.count), static_cast<long long>(a.min),
                        static_cast<long long>(a.max));
    }
    break;
  }
  case shape::memory:
    // Wider than the 32-bit field of the line's original shape, with the same text whenever the
    // size fits in it (always on a 32-bit device).
    n = std::snprintf(out, size, "update %s/%s.rrd %d:%llu\n", p, def.name, when,
                      static_cast<unsigned long long>(memory_kb(t)));
    break;
  }
  return clamp_length(n, size);
}

void tun_rrd_report(rrdc *c) {
  auto *t = static_cast<tesseltx *>(c->box);
  char line[2048];
  const int n = tun_rrd_line(t, c, c->line_no, line, sizeof line);
  if (n < 0) {
    c->line_no = 0;
    return;
  }
  rrd_write(c, line, n);
  c->line_no++;
}

void tun_rrd_log(void *box, int prio, const char *fmt, ...) {
  auto *t = static_cast<tesseltx *>(box);
  va_list ap;
  va_start(ap, fmt);
  nk_vlog(&t->nk, prio, fmt, ap);
  va_end(ap);
}

void tun_rrd_start(tesseltx *t, rrdc *c, const char *prefix) {
  c->box = t;
  c->log = tun_rrd_log;
  c->report = tun_rrd_report;
  (void)std::snprintf(c->prefix, sizeof c->prefix, "%s", prefix);
  rrd_init(c);
}
