#include "receive.h"

#include "aes_exchange.h"
#include "liveness.h"
#include "nodekit.h"
#include "retransmit.h"
#include "tesseltx.h"

namespace {

const char *or_dash(const std::optional<std::string> &s) {
  return s ? s->c_str() : "-";
}

// Where the active receiver's description is dumped when no syslog prefix names the node.
constexpr const char default_info_name[] = "tesseltx";

void handle_info(transmission *tr, std::size_t len) {
  tesseltx *t = tr->t;
  if (tun_receive_info_packet(&tr->info, std::span<const std::uint8_t>(tr->packet.raw, len))) {
    nk_log(&t->nk, LOG_INFO, "[%d] RX info: HA%d: %s, rx%d: %s", tr->id, static_cast<int>(tr->info.node_no),
           or_dash(tr->info.cluster_name), static_cast<int>(tr->info.endpoint_no),
           or_dash(tr->info.description));
  }
  if (tr->active_flag) {
    tun_dump_info(t->syslog_prefix ? t->syslog_prefix->c_str() : default_info_name, &tr->info);
  }
}

void handle_key_request(transmission *tr, std::size_t len) {
  tesseltx *t = tr->t;
  if (!t->aes) {
    nk_log(&t->nk, LOG_ERR, "[%d] Public key received, but encryption is not enabled.\n", tr->id);
    return;
  }
  nk_log(&t->nk, LOG_INFO, "[%d] Public key received.\n", tr->id);
  tr->aes_reply = aes_get_response_packet(t->aes.get(), std::span<const std::uint8_t>(tr->packet.raw, len),
                                          std::span<std::uint8_t, aes_packet_size>(tr->aes_packet));
}

} // namespace

void tr_receive(transmission *tr, std::size_t len) {
  tesseltx *t = tr->t;
  const std::span<const std::uint8_t> datagram(tr->packet.raw, len);
  const tun_packet_header &h = tr->packet.h;
  switch (tun_check_rx_packet(datagram, t->protocol_version)) {
  case tun_rx_check::wrong_magic:
    nk_log(&t->nk, LOG_ERR, "[%d] Wrong MAGIC!\n", tr->id);
    break;
  case tun_rx_check::wrong_version:
    nk_log(&t->nk, LOG_ERR, "[%d] Wrong protocol version %d (%d required) %x\n", tr->id, h.version,
           t->protocol_version, static_cast<unsigned>(h.type));
    break;
  case tun_rx_check::unknown_type:
    nk_log(&t->nk, LOG_INFO, "[%d] Unknown command type: 0x%02x (0x%02x) proto version 0x%02x \n", tr->id,
           static_cast<unsigned>(h.type), static_cast<unsigned>(tr->packet.raw[5]),
           static_cast<unsigned>(h.version));
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
