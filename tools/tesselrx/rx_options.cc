#include "rx_options.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "nk_addr.h"

namespace {

constexpr const char help_text[] =
    "Tessel\n"
    "Lossless tunneling of MPEG2-TS streams over UDP (reference receiver)\n"
    "\n"
    "Usage: %s -s [<ip>]:<port> [OPTION]... (-d <ip>:<port> | -w <file>)\n"
    "\n"
    "Options:\n"
    "  -s [<ip>]:<port>  Receive the tunnel on this port\n"
    "  -k <count>        Number of udp sessions: ports from <port> on [1]\n"
    "  -o <ms>           Play-out latency [300]\n"
    "  -e <kbit/s>       Highest stream rate to hold for the latency [100000]\n"
    "  -r <ms>           Ask again for a slice still missing this long after [round trip]\n"
    "  -d <ip>:<port>    Play the stream out as UDP, one datagram per slice\n"
    "  -w <file>         Play the stream out into a file, \"-\" for standard output\n"
    "  -l <pfx>          Syslog prefix\n"
    "  -N <node_no>      Advert Info: node no\n"
    "  -C <cluster_name> Advert Info: cluster name\n"
    "  -E <endpoint_no>  Advert Info: endpoint no\n"
    "  -D <description>  Advert Info: description\n"
    "  -5                Force proto v5\n"
    "  -6                Force proto v6\n"
    "  -I [in:|out:]<link>  Impair the link, seeded, in both directions or in one\n"
    "                    (repeatable; later keys override). <link> is key=value,...:\n"
    "                      loss=<pct>          datagrams lost at random\n"
    "                      burst=<pct>:<len>   lost in bursts (Gilbert-Elliott) of <len>\n"
    "                                          datagrams on average, <pct> of all\n"
    "                      reorder=<pct>[:<ms>] held back <ms> [10] so later ones overtake\n"
    "                      delay=<ms>          added to every datagram\n"
    "                      jitter=<ms>         plus up to this much more, at random\n"
    "                      dup=<pct>           datagrams arriving twice\n"
    "                      seed=<n>            the random sequence [1]\n"
    "                    e.g. -I loss=1,burst=4:10,delay=10,jitter=5,seed=7\n"
    "  -K                Ask for the transmission key and decrypt   (min proto v7)\n"
    "  -v                Output version information and exit\n"
    "  -h                Show this help\n";

constexpr const char optstring[] = "s:k:o:e:r:d:w:l:N:C:E:D:I:56Kvh?";

// A whole decimal number in [lo, hi], or the process ends with a message naming the option.
long number(NKCx *nk, char opt, const char *s, long lo, long hi) {
  errno = 0;
  char *end = nullptr;
  const long v = std::strtol(s, &end, 10);
  if (errno != 0 || end == s || *end != '\0' || v < lo || v > hi) {
    nk_die(nk, "Invalid value for -%c: '%s' (%ld to %ld)", opt, s, lo, hi);
  }
  return v;
}

std::string first_chars(const char *s, std::size_t n) {
  return std::string(s, strnlen(s, n));
}

} // namespace

void rx_print_help(const char *progname) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  std::printf(help_text, progname);
#pragma GCC diagnostic pop
}

std::uint64_t rx_window_slices(unsigned latency_ms, unsigned rate_kbps) {
  // 10528 bits of stream in a full slice.
  const std::uint64_t per_second = (std::uint64_t{rate_kbps} * 1000 + 10527) / 10528;
  const std::uint64_t need = 2 * per_second * latency_ms / 1000;
  return need < 4096 ? 4096 : need;
}

rx_parse_result rx_parse_options(NKCx *nk, int argc, char **argv, rx_options *o) {
  const char *progname = argv[0] ? argv[0] : "tesselrx";
  bool have_source = false;
  optind = 0;
  int opt;
  while ((opt = getopt(argc, argv, optstring)) != -1) {
    switch (opt) {
    case 's': {
      std::uint16_t port = 0;
      int ip_given = 0;
      in_addr ip{};
      if (!nk_parse_ip_and_port(nk, optarg, &port, &ip, 1, &ip_given)) {
        nk_die(nk, "Unable to parse listening address '%s': %s", optarg, nk_last_error(nk));
      }
      o->listen_ip.s_addr = ip_given ? ip.s_addr : htonl(INADDR_ANY);
      o->port = ntohs(port);
      if (o->port == 0) {
        nk_die(nk, "Unable to parse listening address '%s': port 0", optarg);
      }
      have_source = true;
      break;
    }
    case 'k':
      o->port_count = static_cast<unsigned>(number(nk, 'k', optarg, 1, 1000));
      break;
    case 'o':
      o->latency_ms = static_cast<unsigned>(number(nk, 'o', optarg, 0, 10000));
      break;
    case 'r':
      o->engine.request_repeat_ns = number(nk, 'r', optarg, 1, 10000) * std::int64_t{1000000};
      o->request_repeat_fixed = true;
      break;
    case 'e':
      o->rate_kbps = static_cast<unsigned>(number(nk, 'e', optarg, 1, 10000000));
      break;
    case 'd': {
      std::uint16_t port = 0;
      in_addr ip{};
      if (!nk_parse_ip_and_port(nk, optarg, &port, &ip, 0, nullptr)) {
        nk_die(nk, "Unable to parse output address '%s': %s", optarg, nk_last_error(nk));
      }
      o->destination = sockaddr_in{};
      o->destination.sin_family = AF_INET;
      o->destination.sin_port = port;
      o->destination.sin_addr = ip;
      o->output = rx_output_kind::udp;
      break;
    }
    case 'w':
      o->file = optarg;
      o->output = rx_output_kind::file;
      break;
    case 'l':
      o->syslog_prefix = optarg;
      nk_openlog(nk, o->syslog_prefix.c_str());
      break;
    case 'N':
      o->engine.info.node_no = static_cast<std::uint64_t>(number(nk, 'N', optarg, 0, INT_MAX));
      break;
    case 'C':
      o->engine.info.cluster_name = first_chars(optarg, tun_info_text_max);
      break;
    case 'E':
      o->engine.info.endpoint_no = static_cast<std::uint64_t>(number(nk, 'E', optarg, 0, INT_MAX));
      break;
    case 'D':
      o->engine.info.description = first_chars(optarg, tun_info_text_max);
      break;
    case 'I': {
      const char *link_text = optarg;
      bool in = true, out = true;
      if (std::strncmp(link_text, "in:", 3) == 0) {
        out = false;
        link_text += 3;
      } else if (std::strncmp(link_text, "out:", 4) == 0) {
        in = false;
        link_text += 4;
      }
      std::string why;
      if ((in && !rx_impair_parse(link_text, &o->impair_in, &why)) ||
          (out && !rx_impair_parse(link_text, &o->impair_out, &why))) {
        nk_die(nk, "Invalid link impairment '%s': %s", optarg, why.c_str());
      }
      break;
    }
    case '5':
      o->engine.protocol_version = 5;
      break;
    case '6':
      o->engine.protocol_version = 6;
      break;
    case 'K':
      o->engine.decrypt = true;
      break;
    case 'v':
      std::printf("Tessel-RX %s (protocol version: 5 - 7)\n", nk_version());
      return rx_parse_result::exit_ok;
    case 'h':
    case '?':
    default:
      rx_print_help(progname);
      return rx_parse_result::exit_ok;
    }
  }
  if (optind < argc) {
    nk_die(nk, "Unexpected argument '%s'", argv[optind]);
  }
  if (!have_source) {
    nk_die(nk, "No tunnel port given (-s)");
  }
  if (o->output == rx_output_kind::none) {
    nk_die(nk, "No output given (-d or -w)");
  }
  if (o->engine.decrypt && o->engine.protocol_version < 7) {
    nk_die(nk, "Unable to use Encryption on proto v%d. Required proto >= v7", o->engine.protocol_version);
  }
  if (static_cast<unsigned long>(o->port) + o->port_count - 1 > 65535) {
    nk_die(nk, "Port range %u+%u runs past 65535", static_cast<unsigned>(o->port), o->port_count);
  }
  o->engine.latency_ns = static_cast<std::int64_t>(o->latency_ms) * 1000000;
  o->engine.window_slices = rx_window_slices(o->latency_ms, o->rate_kbps);
  if (o->engine.window_slices > rx_window_max) {
    nk_die(nk, "A window of %" PRIu64 " slices is too large: lower -e or -o", o->engine.window_slices);
  }
  return rx_parse_result::run;
}
