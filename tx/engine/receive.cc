#include "receive.h"

#include <cinttypes>

#include "aes_exchange.h"
#include "liveness.h"
#include "nodekit.h"
#include "retransmit.h"
#include "tesseltx.h"

namespace {

// Two texts of up to 255 bytes each, escaped, in a log line of 254 characters.
constexpr std::size_t info_text_log_max = 96;

std::string printable_or_dash(const std::optional<std::string> &s) {
  return s ? tun_printable(*s, info_text_log_max) : std::string("-");
}

// Where the active receiver's description is dumped when no syslog prefix names the node.
constexpr const char default_info_name[] = "tesseltx";

void report_held(transmission *tr, tx_ratelimit *rl, const char *kind) {
  if (const std::uint64_t n = tx_ratelimit_report(rl, tr->t->now)) {
    nk_log(&tr->t->nk, LOG_WARNING, "[%d] %s: %" PRIu64 " more suppressed", tr->id, kind, n);
  }
}

// Counts held back on a quiet kind are written once its second is over, on whatever this
// output receives next, so a flood that stops still leaves its total in the log.
void report_all_held(transmission *tr) {
  tr_peer_limits &l = tr_limits(tr);
  report_held(tr, &l.wrong_magic, "Wrong MAGIC!");
  report_held(tr, &l.wrong_version, "Wrong protocol version");
  report_held(tr, &l.unknown_type, "Unknown command type");
  report_held(tr, &l.info, "RX info");
  report_held(tr, &l.key_log, "Public key received");
  report_held(tr, &l.key_replies, "Key requests over the rate limit");
  report_held(tr, &l.future, "requested future packet");
  report_held(tr, &l.too_old, "requested packet is too old");
}

void handle_info(transmission *tr, std::size_t len) {
  tesseltx *t = tr->t;
  tr_peer_limits &l = tr_limits(tr);
  const bool changed =
      tun_receive_info_packet(&tr->info, std::span<const std::uint8_t>(tr->packet.raw, len)) != 0;
  if (changed && tr_log_pass(tr, &l.info, "RX info")) {
    nk_log(&t->nk, LOG_INFO, "[%d] RX info: HA%d: %s, rx%d: %s", tr->id, static_cast<int>(tr->info.node_no),
           printable_or_dash(tr->info.cluster_name).c_str(), static_cast<int>(tr->info.endpoint_no),
           printable_or_dash(tr->info.description).c_str());
  }
  // The same description again leaves the file as it is; a changed one is always written, so
  // the file never keeps an older one.
  if (tr->active_flag && (changed || tx_ratelimit_pass(&l.info, t->now))) {
    tun_dump_info(t->syslog_prefix ? t->syslog_prefix->c_str() : default_info_name, &tr->info);
  }
}

void handle_key_request(transmission *tr, std::size_t len) {
  tesseltx *t = tr->t;
  tr_peer_limits &l = tr_limits(tr);
  if (!t->aes) {
    if (tr_log_pass(tr, &l.key_log, "Public key received")) {
      nk_log(&t->nk, LOG_ERR, "[%d] Public key received, but encryption is not enabled.\n", tr->id);
    }
    return;
  }
  if (!tx_ratelimit_pass(&l.key_replies, t->now)) {
    return;
  }
  if (tr_log_pass(tr, &l.key_log, "Public key received")) {
    nk_log(&t->nk, LOG_INFO, "[%d] Public key received.\n", tr->id);
  }
  tr->aes_reply = aes_get_response_packet(t->aes.get(), std::span<const std::uint8_t>(tr->packet.raw, len),
                                          std::span<std::uint8_t, aes_packet_size>(tr->aes_packet));
}

} // namespace

tr_peer_limits &tr_limits(transmission *tr) {
  return tr->limits;
}

bool tr_log_pass(transmission *tr, tx_ratelimit *rl, const char *kind) {
  report_held(tr, rl, kind);
  return tx_ratelimit_pass(rl, tr->t->now);
}

void tr_receive(transmission *tr, std::size_t len) {
  tesseltx *t = tr->t;
  const std::span<const std::uint8_t> datagram(tr->packet.raw, len);
  const tun_packet_header &h = tr->packet.h;
  tr_peer_limits &l = tr_limits(tr);
  report_all_held(tr);
  switch (tun_check_rx_packet(datagram, t->protocol_version)) {
  case tun_rx_check::wrong_magic:
    if (tr_log_pass(tr, &l.wrong_magic, "Wrong MAGIC!")) {
      nk_log(&t->nk, LOG_ERR, "[%d] Wrong MAGIC!\n", tr->id);
    }
    break;
  case tun_rx_check::wrong_version:
    if (tr_log_pass(tr, &l.wrong_version, "Wrong protocol version")) {
      nk_log(&t->nk, LOG_ERR, "[%d] Wrong protocol version %d (%d required) %x\n", tr->id, h.version,
             t->protocol_version, static_cast<unsigned>(h.type));
    }
    break;
  case tun_rx_check::unknown_type:
    if (tr_log_pass(tr, &l.unknown_type, "Unknown command type")) {
      nk_log(&t->nk, LOG_INFO, "[%d] Unknown command type: 0x%02x (0x%02x) proto version 0x%02x \n", tr->id,
             static_cast<unsigned>(h.type), static_cast<unsigned>(tr->packet.raw[5]),
             static_cast<unsigned>(h.version));
    }
    break;
  case tun_rx_check::accept:
    switch (h.type) {
    case TUN_REQUEST:
      tun_request(tr, len);
      break;
    case TUN_PING:
      tun_ping_request(tr);
      break;
    case TUN_INFO_REQUEST:
      tr->info_reply = 1;
      handle_info(tr, len);
      break;
    case TUN_INFO_REPLY:
      handle_info(tr, len);
      break;
    case TUN_AES_REQUEST:
      handle_key_request(tr, len);
      break;
    default:
      break;
    }
    break;
  }
}
