#include "ts_stream.h"

#include <cstring>

namespace {

constexpr unsigned table_period = 400; // packets between PAT/PMT repetitions
constexpr unsigned video_pes_packets = 64;
constexpr unsigned audio_pes_packets = 8;
constexpr std::uint64_t pts_lead_90khz = 45000; // PTS runs half a second ahead of the PCR

std::uint64_t next_random(ts_stream *s) {
  std::uint64_t x = s->rng;
  x ^= x << 13;
  x ^= x >> 7;
  x ^= x << 17;
  s->rng = x;
  return x;
}

void fill_random(ts_stream *s, std::uint8_t *p, std::size_t n) {
  while (n > 0) {
    const std::uint64_t r = next_random(s);
    const std::size_t k = n < 8 ? n : 8;
    std::memcpy(p, &r, k);
    p += k;
    n -= k;
  }
}

// Header with payload; `af` adds an adaptation field of that many bytes after the length byte.
std::uint8_t *header(ts_stream *s, std::uint8_t *out, std::uint16_t pid, bool pusi, int af_len) {
  out[0] = 0x47;
  out[1] = static_cast<std::uint8_t>((pusi ? 0x40 : 0) | (pid >> 8));
  out[2] = static_cast<std::uint8_t>(pid & 0xFF);
  const std::uint8_t cc = s->cc[pid];
  s->cc[pid] = static_cast<std::uint8_t>((cc + 1) & 0x0F);
  out[3] = static_cast<std::uint8_t>((af_len >= 0 ? 0x30 : 0x10) | cc);
  if (af_len < 0) {
    return out + 4;
  }
  out[4] = static_cast<std::uint8_t>(af_len);
  return out + 5 + af_len;
}

std::uint64_t pcr_27mhz(const ts_stream *s) {
  // Time at which this packet's first byte enters the stream, at the nominal rate.
  const std::uint64_t bits = s->index * ts_size * 8;
  return s->bitrate_bps ? bits / s->bitrate_bps * 27000000 + bits % s->bitrate_bps * 27000000 / s->bitrate_bps : 0;
}

void put_pts(std::uint8_t *p, std::uint64_t pts) {
  p[0] = static_cast<std::uint8_t>(0x21 | ((pts >> 29) & 0x0E));
  p[1] = static_cast<std::uint8_t>(pts >> 22);
  p[2] = static_cast<std::uint8_t>(0x01 | ((pts >> 14) & 0xFE));
  p[3] = static_cast<std::uint8_t>(pts >> 7);
  p[4] = static_cast<std::uint8_t>(0x01 | ((pts << 1) & 0xFE));
}

void section_packet(ts_stream *s, std::uint8_t *out, std::uint16_t pid, std::span<const std::uint8_t> section) {
  std::uint8_t *p = header(s, out, pid, true, -1);
  *p++ = 0; // pointer field
  std::memcpy(p, section.data(), section.size());
  const std::uint32_t crc = ts_crc32(section);
  p += section.size();
  *p++ = static_cast<std::uint8_t>(crc >> 24);
  *p++ = static_cast<std::uint8_t>(crc >> 16);
  *p++ = static_cast<std::uint8_t>(crc >> 8);
  *p++ = static_cast<std::uint8_t>(crc);
  std::memset(p, 0xFF, static_cast<std::size_t>(out + ts_size - p));
}

void pat(ts_stream *s, std::uint8_t *out) {
  const std::uint8_t section[] = {0x00, 0xB0, 13, 0x00, 0x01, 0xC1, 0x00, 0x00,
                                  0x00, 0x01, static_cast<std::uint8_t>(0xE0 | (ts_pid_pmt >> 8)),
                                  static_cast<std::uint8_t>(ts_pid_pmt & 0xFF)};
  section_packet(s, out, ts_pid_pat, section);
}

void pmt(ts_stream *s, std::uint8_t *out) {
  const std::uint8_t section[] = {0x02, 0xB0, 23, 0x00, 0x01, 0xC1, 0x00, 0x00,
                                  static_cast<std::uint8_t>(0xE0 | (ts_pid_video >> 8)),
                                  static_cast<std::uint8_t>(ts_pid_video & 0xFF), 0xF0, 0x00,
                                  0x02, static_cast<std::uint8_t>(0xE0 | (ts_pid_video >> 8)),
                                  static_cast<std::uint8_t>(ts_pid_video & 0xFF), 0xF0, 0x00,
                                  0x03, static_cast<std::uint8_t>(0xE0 | (ts_pid_audio >> 8)),
                                  static_cast<std::uint8_t>(ts_pid_audio & 0xFF), 0xF0, 0x00};
  section_packet(s, out, ts_pid_pmt, section);
}

void video(ts_stream *s, std::uint8_t *out) {
  if (s->video_left == 0) {
    // Start of a PES: PCR in the adaptation field, then an unbounded video PES header.
    const std::uint64_t pcr = pcr_27mhz(s);
    std::uint8_t *p = header(s, out, ts_pid_video, true, 7);
    std::uint8_t *af = out + 5;
    const std::uint64_t base = pcr / 300;
    const unsigned ext = static_cast<unsigned>(pcr % 300);
    af[0] = 0x10;
    af[1] = static_cast<std::uint8_t>(base >> 25);
    af[2] = static_cast<std::uint8_t>(base >> 17);
    af[3] = static_cast<std::uint8_t>(base >> 9);
    af[4] = static_cast<std::uint8_t>(base >> 1);
    af[5] = static_cast<std::uint8_t>(((base & 1) << 7) | 0x7E | (ext >> 8));
    af[6] = static_cast<std::uint8_t>(ext & 0xFF);
    const std::uint8_t pes[] = {0x00, 0x00, 0x01, 0xE0, 0x00, 0x00, 0x80, 0x80, 0x05};
    std::memcpy(p, pes, sizeof pes);
    p += sizeof pes;
    put_pts(p, (base + pts_lead_90khz) & 0x1FFFFFFFFull);
    p += 5;
    fill_random(s, p, static_cast<std::size_t>(out + ts_size - p));
    s->video_left = video_pes_packets - 1;
    return;
  }
  --s->video_left;
  std::uint8_t *p = header(s, out, ts_pid_video, false, -1);
  fill_random(s, p, ts_size - 4);
}

void audio(ts_stream *s, std::uint8_t *out) {
  if (s->audio_left == 0) {
    std::uint8_t *p = header(s, out, ts_pid_audio, true, -1);
    const unsigned len = audio_pes_packets * (ts_size - 4) - 6;
    const std::uint8_t pes[] = {0x00, 0x00, 0x01, 0xC0, static_cast<std::uint8_t>(len >> 8),
                                static_cast<std::uint8_t>(len & 0xFF), 0x80, 0x80, 0x05};
    std::memcpy(p, pes, sizeof pes);
    p += sizeof pes;
    put_pts(p, (pcr_27mhz(s) / 300 + pts_lead_90khz) & 0x1FFFFFFFFull);
    p += 5;
    fill_random(s, p, static_cast<std::size_t>(out + ts_size - p));
    s->audio_left = audio_pes_packets - 1;
    return;
  }
  --s->audio_left;
  std::uint8_t *p = header(s, out, ts_pid_audio, false, -1);
  fill_random(s, p, ts_size - 4);
}

void null_packet(std::uint8_t *out) {
  out[0] = 0x47;
  out[1] = 0x1F;
  out[2] = 0xFF;
  out[3] = 0x10;
  std::memset(out + 4, 0xFF, ts_size - 4);
}

} // namespace

std::uint32_t ts_crc32(std::span<const std::uint8_t> bytes) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::uint8_t b : bytes) {
    crc ^= static_cast<std::uint32_t>(b) << 24;
    for (int i = 0; i < 8; ++i) {
      crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
  }
  return crc;
}

void ts_stream_init(ts_stream *s, std::uint64_t seed, std::uint64_t bitrate_bps) {
  *s = ts_stream{};
  s->rng = seed * 0x9E3779B97F4A7C15ull + 0x632BE59BD9B4E019ull;
  if (s->rng == 0) {
    s->rng = 1;
  }
  s->bitrate_bps = bitrate_bps;
}

void ts_stream_next(ts_stream *s, std::uint8_t out[ts_size]) {
  const unsigned phase = static_cast<unsigned>(s->index % table_period);
  if (phase == 0) {
    pat(s, out);
  } else if (phase == 1) {
    pmt(s, out);
  } else {
    const unsigned pick = static_cast<unsigned>(next_random(s) % 20);
    if (pick < 15) {
      video(s, out);
    } else if (pick < 18) {
      audio(s, out);
    } else {
      null_packet(out);
    }
  }
  ++s->index;
}
