// A synthetic MPEG-2 transport stream for tests, the demo and the benchmark: one program with
// a PAT, a PMT, a video and an audio elementary stream carried in PES packets (PCR on the video
// PID, PTS on every PES), and some null packets. Continuity counters, section CRCs and PES
// lengths are correct; the elementary-stream bytes are pseudo-random. The same seed and rate
// always give the same bytes.
#pragma once

#include <array>
#include <cstdint>
#include <span>

inline constexpr std::size_t ts_size = 188;
inline constexpr std::uint16_t ts_pid_pat = 0x0000;
inline constexpr std::uint16_t ts_pid_pmt = 0x1000;
inline constexpr std::uint16_t ts_pid_video = 0x0100;
inline constexpr std::uint16_t ts_pid_audio = 0x0101;
inline constexpr std::uint16_t ts_pid_null = 0x1FFF;

// The CRC of MPEG-2 sections (polynomial 0x04C11DB7, initial value all ones, no reflection).
std::uint32_t ts_crc32(std::span<const std::uint8_t> bytes);

struct ts_stream {
  std::uint64_t rng = 0;         // xorshift state
  std::uint64_t index = 0;       // packets made so far
  std::uint64_t bitrate_bps = 0; // for the PCR and PTS values
  std::array<std::uint8_t, 0x2000> cc{};
  unsigned video_left = 0;       // packets left in the current video PES
  unsigned audio_left = 0;
};

void ts_stream_init(ts_stream *s, std::uint64_t seed, std::uint64_t bitrate_bps);

// Writes the next TS packet.
void ts_stream_next(ts_stream *s, std::uint8_t out[ts_size]);
