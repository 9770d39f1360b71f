#include "rx_impair.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// splitmix64: small, fast, and the same sequence on every platform for a given seed.
std::uint64_t next_u64(std::uint64_t *state) {
  std::uint64_t z = (*state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// Uniform in [0, 1).
double uniform(std::uint64_t *state) { return static_cast<double>(next_u64(state) >> 11) * 0x1.0p-53; }

// Every draw is taken whether or not its feature is on, so that turning one feature on does
// not reshuffle the fates the others give to the same seed.
bool chance(std::uint64_t *state, double p) { return uniform(state) < p; }

bool earlier(const rx_impair_entry &a, const rx_impair_entry &b) {
  return a.due_ns < b.due_ns || (a.due_ns == b.due_ns && a.order < b.order);
}

void sift_up(rx_impair *im, std::uint32_t i) {
  while (i > 0) {
    const std::uint32_t parent = (i - 1) / 2;
    if (!earlier(im->entries[im->heap[i]], im->entries[im->heap[parent]])) {
      break;
    }
    std::swap(im->heap[i], im->heap[parent]);
    i = parent;
  }
}

void sift_down(rx_impair *im, std::uint32_t i) {
  for (;;) {
    const std::uint32_t l = 2 * i + 1;
    const std::uint32_t r = l + 1;
    std::uint32_t m = i;
    if (l < im->queued && earlier(im->entries[im->heap[l]], im->entries[im->heap[m]])) {
      m = l;
    }
    if (r < im->queued && earlier(im->entries[im->heap[r]], im->entries[im->heap[m]])) {
      m = r;
    }
    if (m == i) {
      return;
    }
    std::swap(im->heap[i], im->heap[m]);
    i = m;
  }
}

void enqueue(rx_impair *im, std::span<const std::uint8_t> d, const sockaddr_in &addr, std::int64_t due) {
  if (im->free_count == 0 || d.size() > sizeof im->entries[0].data) {
    ++im->stat.queue_full;
    return;
  }
  const std::uint32_t idx = im->free_list[--im->free_count];
  rx_impair_entry &e = im->entries[idx];
  e.due_ns = due;
  e.order = im->order++;
  e.addr = addr;
  e.len = static_cast<std::uint16_t>(d.size());
  std::memcpy(e.data, d.data(), d.size());
  im->heap[im->queued] = idx;
  sift_up(im, im->queued++);
}

// A percentage in [0, 100] as a probability.
bool percent(const char *s, double *out) {
  char *end = nullptr;
  const double v = std::strtod(s, &end);
  if (end == s || *end != '\0' || !(v >= 0 && v <= 100)) {
    return false;
  }
  *out = v / 100;
  return true;
}

// Whole milliseconds in [0, 60000] as nanoseconds.
bool millis(const char *s, std::int64_t *out) {
  char *end = nullptr;
  const long v = std::strtol(s, &end, 10);
  if (end == s || *end != '\0' || v < 0 || v > 60000) {
    return false;
  }
  *out = static_cast<std::int64_t>(v) * 1000000;
  return true;
}

} // namespace

bool rx_impair_init(rx_impair *im, const rx_impair_config &cfg, std::uint64_t stream, std::uint32_t queue_slots,
                    rx_impair_deliver deliver, void *ctx) {
  im->cfg = cfg;
  im->rng = cfg.seed * 0x2545F4914F6CDD1Dull + stream;
  im->bad = false;
  im->stat = {};
  im->deliver = deliver;
  im->ctx = ctx;
  im->queued = 0;
  im->order = 0;
  im->capacity = 0;
  im->free_count = 0;
  if (cfg.delays() && queue_slots > 0) {
    im->entries.reset(new (std::nothrow) rx_impair_entry[queue_slots]);
    im->heap.reset(new (std::nothrow) std::uint32_t[queue_slots]);
    im->free_list.reset(new (std::nothrow) std::uint32_t[queue_slots]);
    if (!im->entries || !im->heap || !im->free_list) {
      return false;
    }
    im->capacity = queue_slots;
    for (std::uint32_t i = 0; i < queue_slots; ++i) {
      im->free_list[i] = queue_slots - 1 - i;
    }
    im->free_count = queue_slots;
  }
  return true;
}

void rx_impair_offer(rx_impair *im, std::span<const std::uint8_t> d, const sockaddr_in &addr, std::int64_t now_ns) {
  ++im->stat.offered;
  const rx_impair_config &c = im->cfg;
  if (!c.any()) {
    im->deliver(im->ctx, d, addr);
    return;
  }
  std::uint64_t *r = &im->rng;
  // The chain moves once per datagram; a datagram sent in the bad state is lost.
  const bool was_bad = im->bad;
  im->bad = was_bad ? !chance(r, c.burst_leave) : chance(r, c.burst_enter);
  if (im->bad && !was_bad) {
    ++im->stat.bursts;
  }
  const bool lost_random = chance(r, c.loss);
  const bool dup = chance(r, c.duplicate);
  const bool reorder = chance(r, c.reorder);
  const double jitter = uniform(r);
  const double dup_jitter = uniform(r);
  if (im->bad) {
    ++im->stat.lost_burst;
    return;
  }
  if (lost_random) {
    ++im->stat.lost_random;
    return;
  }
  std::int64_t delay = c.delay_ns + static_cast<std::int64_t>(jitter * static_cast<double>(c.jitter_ns));
  if (reorder) {
    ++im->stat.reordered;
    delay += c.reorder_ns;
  }
  const int copies = dup ? 2 : 1;
  if (dup) {
    ++im->stat.duplicated;
  }
  for (int i = 0; i < copies; ++i) {
    // The copy takes its own jitter, so that it may arrive well apart from the original.
    const std::int64_t d_ns =
        i == 0 ? delay : c.delay_ns + static_cast<std::int64_t>(dup_jitter * static_cast<double>(c.jitter_ns));
    if (d_ns <= 0 || im->capacity == 0) {
      im->deliver(im->ctx, d, addr);
    } else {
      ++im->stat.delayed;
      enqueue(im, d, addr, now_ns + d_ns);
    }
  }
}

void rx_impair_release(rx_impair *im, std::int64_t now_ns) {
  while (im->queued > 0) {
    const std::uint32_t idx = im->heap[0];
    rx_impair_entry &e = im->entries[idx];
    if (e.due_ns > now_ns) {
      return;
    }
    im->heap[0] = im->heap[--im->queued];
    sift_down(im, 0);
    im->deliver(im->ctx, std::span<const std::uint8_t>(e.data, e.len), e.addr);
    im->free_list[im->free_count++] = idx; // only now: delivering may queue into this direction
  }
}

std::int64_t rx_impair_next_due(const rx_impair *im) {
  return im->queued > 0 ? im->entries[im->heap[0]].due_ns : INT64_MAX;
}

bool rx_impair_parse(const char *text, rx_impair_config *cfg, std::string *why) {
  std::string all(text);
  std::size_t pos = 0;
  while (pos <= all.size()) {
    std::size_t comma = all.find(',', pos);
    if (comma == std::string::npos) {
      comma = all.size();
    }
    const std::string item = all.substr(pos, comma - pos);
    pos = comma + 1;
    if (item.empty()) {
      continue;
    }
    const std::size_t eq = item.find('=');
    if (eq == std::string::npos) {
      *why = "'" + item + "' is not key=value";
      return false;
    }
    const std::string key = item.substr(0, eq);
    std::string value = item.substr(eq + 1);
    std::string second;
    if (const std::size_t colon = value.find(':'); colon != std::string::npos) {
      second = value.substr(colon + 1);
      value = value.substr(0, colon);
    }
    bool ok = true;
    if (key == "loss") {
      ok = second.empty() && percent(value.c_str(), &cfg->loss);
    } else if (key == "burst") {
      // The stationary share of the bad state is enter / (enter + leave): solved for enter.
      double share = 0;
      char *end = nullptr;
      const double length = second.empty() ? 0 : std::strtod(second.c_str(), &end);
      ok = percent(value.c_str(), &share) && share < 1 && end != nullptr && *end == '\0' && length >= 1 &&
           length <= 1000000;
      if (ok) {
        cfg->burst_leave = 1 / length;
        cfg->burst_enter = share == 0 ? 0 : cfg->burst_leave * share / (1 - share);
        ok = cfg->burst_enter <= 1;
      }
    } else if (key == "dup") {
      ok = second.empty() && percent(value.c_str(), &cfg->duplicate);
    } else if (key == "reorder") {
      ok = percent(value.c_str(), &cfg->reorder);
      cfg->reorder_ns = 10 * std::int64_t{1000000};
      if (ok && !second.empty()) {
        ok = millis(second.c_str(), &cfg->reorder_ns);
      }
    } else if (key == "delay") {
      ok = second.empty() && millis(value.c_str(), &cfg->delay_ns);
    } else if (key == "jitter") {
      ok = second.empty() && millis(value.c_str(), &cfg->jitter_ns);
    } else if (key == "seed") {
      char *end = nullptr;
      cfg->seed = std::strtoull(value.c_str(), &end, 10);
      ok = second.empty() && end != value.c_str() && *end == '\0';
    } else {
      *why = "unknown key '" + key + "'";
      return false;
    }
    if (!ok) {
      *why = "bad value in '" + item + "'";
      return false;
    }
  }
  return true;
}

std::string rx_impair_summary(const rx_impair *im) {
  const rx_impair_stats &s = im->stat;
  char line[320];
  std::snprintf(line, sizeof line,
                "offered %" PRIu64 ", lost_random %" PRIu64 ", lost_burst %" PRIu64 ", bursts %" PRIu64
                ", duplicated %" PRIu64 ", reordered %" PRIu64 ", delayed %" PRIu64 ", queue_full %" PRIu64,
                s.offered, s.lost_random, s.lost_burst, s.bursts, s.duplicated, s.reordered, s.delayed, s.queue_full);
  return line;
}
