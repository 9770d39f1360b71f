// A node's advert description (this transmitter's own, from the command line, and each
// receiver's as last received), its TLV packet, and the dump file of the active receiver's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

struct tun_info {
  std::uint64_t node_no = 0;
  std::uint64_t endpoint_no = 0;
  std::optional<std::string> cluster_name;
  std::optional<std::string> description;
};

// Command-line texts of the own description keep at most this many characters.
inline constexpr std::size_t tun_info_text_max = 127;

enum tun_tlv_type : std::uint8_t {
  TUN_TLV_NODE_NO = 1,
  TUN_TLV_CLUSTER_NAME = 2,
  TUN_TLV_ENDPOINT_NO = 3,
  TUN_TLV_DESCRIPTION = 4,
};

// The whole info packet (header and TLV body), type TUN_INFO_REQUEST, elements in the order
// node, endpoint, cluster name, description. Strings longer than a TLV can carry (255 bytes)
// are cut to 255.
std::vector<std::uint8_t> tun_prepare_info_packet(const tun_info *info, std::uint8_t protocol_version);

// Replaces `info` with the description in a received info packet (header included). Reads no
// byte beyond `packet`. Returns 1 when anything changed.
int tun_receive_info_packet(tun_info *info, std::span<const std::uint8_t> packet);

// A peer's text as it may be logged or written to a line of the dump: valid UTF-8 stays as it
// is, while control characters (C0, DEL, C1) and bytes that are not UTF-8 become \xNN, so that
// a peer can neither drive a terminal nor start a line of its own. A result longer than
// `max_out` bytes is cut after a whole character or escape and ends in "..." (a log line has
// room for about 250 bytes, and a line cut inside a character would not be UTF-8).
std::string tun_printable(std::string_view text, std::size_t max_out = SIZE_MAX);

// The dump-file path for a name: "/tmp/tuninfo-<name>.txt", cut at 30 characters.
std::string tun_info_dump_path(const char *name);

// Writes the description to the dump file, its texts made printable; a file that cannot be opened is skipped
// silently.
void tun_dump_info(const char *name, const tun_info *info);
