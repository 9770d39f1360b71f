// EDID parse entry point: the input is cut into 128-byte blocks (the last one zero-padded) and fed
// in order as the chip would hand them over, with a raw buffer smaller than the input so that the
// capacity check is crossed; then the video list is built.
#include "edid.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  constexpr unsigned kRawBlocks = 2;
  constexpr std::size_t kMaxBlocks = 256;
  std::vector<std::uint8_t> raw(kRawBlocks * HDTX_EDID_BLOCK_SIZE);

  hdtx_edid_data d{};
  d.raw_buffer = raw.data();
  d.raw_capacity_blocks = kRawBlocks;
  edid_reset_results(d);

  const std::size_t blocks = std::min((size + HDTX_EDID_BLOCK_SIZE - 1) / HDTX_EDID_BLOCK_SIZE, kMaxBlocks);
  for (std::size_t i = 0; i < blocks; ++i) {
    // A block of its own size, so that the sanitizers see any read past its end.
    std::vector<std::uint8_t> block(HDTX_EDID_BLOCK_SIZE, 0);
    const std::size_t off = i * HDTX_EDID_BLOCK_SIZE;
    std::memcpy(block.data(), data + off, std::min<std::size_t>(HDTX_EDID_BLOCK_SIZE, size - off));
    edid_parse_block(d, static_cast<unsigned>(i), block.data());
    if (d.status == HDTX_EDID_BLOCK0_CHECKSUM)
      break;
  }
  edid_parse_done(d);

  std::array<hdtx_video_cap, 255> caps{};
  unsigned count = 0;
  std::uint8_t flags = 0;
  edid_video_caps(d, caps.data(), static_cast<unsigned>(caps.size()), &count, &flags);
  if (count > caps.size() || d.svd_count > HDTX_EDID_MAX_SVD || d.dtd_count > HDTX_EDID_MAX_DTD ||
      d.sad_count > HDTX_EDID_MAX_SAD || d.name_count > HDTX_EDID_MAX_NAMES)
    __builtin_trap();
  return 0;
}
