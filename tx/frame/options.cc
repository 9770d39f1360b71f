#include "options.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

#include "net.h"
#include "nodekit.h"
#include "stop.h"
#include "tesseltx.h"

namespace {

constexpr const char help_text[] =
    "Tessel\n"
    "Lossless tunneling of MPEG2-TS streams over UDP (transmitter)\n"
    "\n"
    "Usage: %s [OPTION]...\n"
    "\n"
    "Options:\n"
    "  -s [<ip>]:<port>  Receive the stream on the specified port/multicast group\n"
    "  -d <ip>:<port>    Transmit to this destination\n"
    "  -k <count>        Number of udp sessions [1]\n"
    "        (min proto v6)\n"
    "  -l <pfx>          Syslog and rrd prefix\n"
    "  -r <ip>:<port>    RRDcached server address\n"
    "  -p <prefix>       Node prefix for CS\n"
    "  -c <ip>:<port>    Central Server server address\n"
    "  -e <kbit/s>       Maximum tunnel bandwidth\n"
    "  -o <ms>           Tunnel delay\n"
    "  -B <size>         Input socket buffer size [1048576]\n"
    "  -u <s>            Exit after no ping request for [0 - disabled] s\n"
    "  -U                Instead of exiting on \"-u\" recreate a socket\n"
    "  -K                Enable encryption                   (min proto v7)\n"
    "  -N <node_no>      Advert Info: node no                (min proto v6)\n"
    "  -C <cluster_name> Advert Info: cluster name           (min proto v6)\n"
    "  -E <endpoint_no>  Advert Info: endpoint no            (min proto v6)\n"
    "  -D <description>  Advert Info: description            (min proto v6)\n"
    "  -5                Force proto v5\n"
    "  -6                Force proto v6\n"
    "  -f <fec level>    Enable FEC                          (min proto v7)\n"
    "  -K                Encrypt transmission                (min proto v7)\n"
    "  -v                Output version information and exit\n"
    "  -h                Show this help\n";

constexpr const char optstring[] = "s:d:k:l:r:p:c:e:o:B:u:U:KLN:C:E:D:56f:bvh?";

// atoi's contract (leading number, 0 for none) without its undefined overflow: out-of-range
// values saturate.
int to_int(const char *s) {
  errno = 0;
  long v = std::strtol(s, nullptr, 10);
  if (v > INT_MAX) {
    return INT_MAX;
  }
  if (v < INT_MIN) {
    return INT_MIN;
  }
  return static_cast<int>(v);
}

std::string first_chars(const char *s, std::size_t n) {
  return std::string(s, strnlen(s, n));
}

void open_input(tesseltx *t, const char *arg) {
  int fd = nk_create_input_socket(&t->nk, arg);
  if (fd < 0) {
    tx_die(t, "Socket creating error: %s", nk_last_error(&t->nk));
  }
  int one = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_TIMESTAMP, &one, sizeof one) < 0) {
    tx_die(t, "Setsockopt SO_TIMESTAMP: %s", std::strerror(errno));
  }
  t->socket = fd;
  nk_log(&t->nk, LOG_INFO, "Successfully created input socket %s", arg);
}

void ensure_aes(tesseltx *t) {
  if (!t->aes) {
    t->aes = aes_new(&t->nk);
  }
}

} // namespace

void print_help(const char *progname) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  std::printf(help_text, progname);
#pragma GCC diagnostic pop
}

void print_version() {
  std::printf("Tessel-TX %s (protocol version: 5 - 7)\n", nk_version());
}

unsigned long long tx_bandwidth_cap(int kbps) {
  return static_cast<unsigned long long>(static_cast<long long>(kbps) * 1000 / 10528);
}

tx_parse_result tx_parse_options(tesseltx *t, int argc, char **argv, int *input_rcvbuf) {
  *input_rcvbuf = tx_default_rcvbuf;
  const char *progname = argv[0] ? argv[0] : "tesseltx";
  if (argc < 2) {
    print_help(progname);
    return tx_parse_result::exit_ok;
  }
  optind = 0; // full re-initialisation, so that the parser can run more than once per process
  int opt;
  while ((opt = getopt(argc, argv, optstring)) != -1) {
    switch (opt) {
    case 's':
      open_input(t, optarg);
      break;
    case 'd':
      if (tr_create_from_optarg(t, optarg) == nullptr) {
        tx_die(t, "Unable to create output transmission structure!");
      }
      break;
    case 'k':
      t->port_range_size = static_cast<std::uint64_t>(static_cast<std::int64_t>(to_int(optarg)));
      break;
    case 'l':
      t->syslog_prefix = optarg;
      nk_openlog(&t->nk, t->syslog_prefix->c_str());
      break;
    case 'r':
      rrd_get_ip_and_port(&t->rrd, optarg);
      break;
    case 'p':
      t->machine_prefix = optarg;
      break;
    case 'c':
      rrd_get_ip_and_port(&t->rrd2, optarg);
      break;
    case 'e': {
      int kbps = to_int(optarg);
      if (kbps <= 0) {
        tx_die(t, "Invalid bandwidth (%s)\n", optarg);
      }
      for (transmission *tr = t->tr; tr != nullptr; tr = tr->next) {
        tr->bw.max = tx_bandwidth_cap(kbps);
      }
      break;
    }
    case 'o':
      t->delay = static_cast<unsigned int>(to_int(optarg));
      break;
    case 'B':
      *input_rcvbuf = to_int(optarg);
      break;
    case 'u':
      t->ping_timeout_exit_ms = static_cast<unsigned int>(to_int(optarg)) * 1000u;
      break;
    case 'U':
      t->ping_timeout_resocket_ms = static_cast<unsigned int>(to_int(optarg)) * 1000u;
      break;
    case 'K':
      ensure_aes(t);
      break;
    case 'L':
      ensure_aes(t);
      t->aes->flags |= AES_FLAG_256;
      break;
    case 'N':
      t->info.node_no = static_cast<std::uint64_t>(static_cast<std::int64_t>(to_int(optarg)));
      break;
    case 'C':
      t->info.cluster_name = first_chars(optarg, tun_info_text_max);
      break;
    case 'E':
      t->info.endpoint_no = static_cast<std::uint64_t>(static_cast<std::int64_t>(to_int(optarg)));
      break;
    case 'D':
      t->info.description = first_chars(optarg, tun_info_text_max);
      break;
    case '5':
      t->protocol_version = 5;
      break;
    case '6':
      t->protocol_version = 6;
      break;
    case 'f': {
      // The level lives in 8 bits; level 255 (like 0) therefore means "off".
      auto level = static_cast<std::uint8_t>(to_int(optarg));
      t->fec = level ? static_cast<std::uint8_t>(level + 1) : 0;
      break;
    }
    case 'b':
      t->flags |= TX_FLAG_BACKUP;
      break;
    case 'v':
      print_version();
      return tx_parse_result::exit_ok;
    case 'h':
    case '?':
    default:
      print_help(progname);
      return tx_parse_result::exit_ok;
    }
  }
  return tx_parse_result::run;
}
