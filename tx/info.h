// A node's advert description: this transmitter's own (from the command line) and each
// receiver's as last received.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

struct tun_info {
  std::uint64_t node_no = 0;
  std::uint64_t endpoint_no = 0;
  std::optional<std::string> cluster_name;
  std::optional<std::string> description;
};

// Command-line texts of the own description keep at most this many characters.
inline constexpr std::size_t tun_info_text_max = 127;
