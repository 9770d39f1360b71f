// Parsing of instruction lines. The field grammar follows scanf conventions (a blank in a pattern
// skips any white space, hex fields are non-empty runs, trailing text is ignored), written out by
// hand so that a field can never overrun a buffer and a TIME that is negative or does not fit in
// 32 bits is rejected instead of wrapping around.
#include "instruction.h"

#include <climits>

namespace serialchat {
namespace {

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_hex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

std::uint8_t hex_value(char c) {
  if (c >= '0' && c <= '9')
    return static_cast<std::uint8_t>(c - '0');
  if (c >= 'a' && c <= 'f')
    return static_cast<std::uint8_t>(c - 'a' + 10);
  return static_cast<std::uint8_t>(c - 'A' + 10);
}

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// A cursor over one line with the few scanf conversions the language uses.
class scanner {
public:
  explicit scanner(std::string_view s) : s_(s) {}

  void blanks() {
    while (pos_ < s_.size() && is_space(s_[pos_]))
      ++pos_;
  }

  bool literal(char c) {
    if (pos_ < s_.size() && s_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }

  // "%[0-9a-fA-F]": a non-empty run of hex digits, without skipping white space first.
  bool hex_run(std::string_view &out) {
    std::size_t start = pos_;
    while (pos_ < s_.size() && is_hex(s_[pos_]))
      ++pos_;
    out = s_.substr(start, pos_ - start);
    return pos_ > start;
  }

  // "%u": white space, an optional plus sign, decimal digits that fit in 32 bits.
  bool number(std::uint32_t &out) {
    blanks();
    std::size_t p = pos_;
    if (p < s_.size() && s_[p] == '+')
      ++p;
    std::size_t digits = p;
    std::uint64_t v = 0;
    while (p < s_.size() && s_[p] >= '0' && s_[p] <= '9') {
      v = v * 10 + static_cast<std::uint64_t>(s_[p] - '0');
      if (v > UINT32_MAX)
        return false;
      ++p;
    }
    if (p == digits)
      return false;
    pos_ = p;
    out = static_cast<std::uint32_t>(v);
    return true;
  }

  // "%*[,]": a non-empty run of commas.
  bool commas() {
    std::size_t start = pos_;
    while (pos_ < s_.size() && s_[pos_] == ',')
      ++pos_;
    return pos_ > start;
  }

private:
  std::string_view s_;
  std::size_t pos_ = 0;
};

// " , %u %*[,] %[0-9a-fA-F]": the TIME and optional MASK tail of a read instruction.
bool scan_time_and_mask(scanner &sc, std::uint32_t &time_ms, std::string_view &mask) {
  sc.blanks();
  if (!sc.literal(','))
    return false;
  if (!sc.number(time_ms))
    return false;
  mask = {};
  sc.blanks();
  if (!sc.commas())
    return true;
  sc.blanks();
  sc.hex_run(mask);
  return true;
}

// " : , %u": expect silence for TIME ms.
bool scan_silence(std::string_view after_letters, std::uint32_t &time_ms) {
  scanner sc(after_letters);
  sc.blanks();
  if (!sc.literal(':'))
    return false;
  sc.blanks();
  if (!sc.literal(','))
    return false;
  return sc.number(time_ms);
}

// A given MASK must be hex for exactly as many bytes as the data; no MASK means compare all bits.
bool apply_mask(std::string_view mask_hex, instruction &out) {
  if (mask_hex.empty()) {
    out.mask.fill(0xFF);
    return true;
  }
  auto n = parse_hex_bytes(mask_hex, out.mask);
  return n && *n == out.length;
}

parse_status parse_send(std::string_view line, instruction &out) {
  out.kind = instruction_kind::send;
  if (out.mode == data_mode::text) {
    auto n = parse_quoted_text(line.substr(2), out.data);
    if (!n)
      return parse_status::error;
    out.length = *n;
    return parse_status::ok;
  }
  scanner sc(line.substr(1));
  std::string_view code;
  sc.blanks();
  if (!sc.literal(':'))
    return parse_status::error;
  sc.blanks();
  if (!sc.hex_run(code))
    return parse_status::error;
  auto n = parse_hex_bytes(code, out.data);
  if (!n)
    return parse_status::error;
  out.length = *n;
  return parse_status::ok;
}

parse_status parse_read(std::string_view line, instruction &out) {
  out.kind = instruction_kind::read;
  std::string_view mask_hex;
  if (out.mode == data_mode::text) {
    std::string_view rest;
    if (auto n = parse_quoted_text(line, out.data, &rest)) {
      scanner sc(rest);
      if (scan_time_and_mask(sc, out.time_ms, mask_hex)) {
        out.length = *n;
        return apply_mask(mask_hex, out) ? parse_status::ok : parse_status::error;
      }
    }
    if (line.size() >= 2 && scan_silence(line.substr(2), out.time_ms)) {
      out.length = 0;
      out.read_timeout = true;
      return parse_status::ok;
    }
    return parse_status::error;
  }
  scanner sc(line.substr(1));
  std::string_view code;
  sc.blanks();
  if (sc.literal(':')) {
    sc.blanks();
    if (sc.hex_run(code) && scan_time_and_mask(sc, out.time_ms, mask_hex)) {
      auto n = parse_hex_bytes(code, out.data);
      if (!n)
        return parse_status::error;
      out.length = *n;
      return apply_mask(mask_hex, out) ? parse_status::ok : parse_status::error;
    }
  }
  if (scan_silence(line.substr(1), out.time_ms)) {
    out.length = 0;
    out.read_timeout = true;
    return parse_status::ok;
  }
  return parse_status::error;
}

parse_status parse_wait(std::string_view line, instruction &out) {
  // "w: %u": the colon must follow the letter directly.
  scanner sc(line.substr(1));
  if (!sc.literal(':') || !sc.number(out.time_ms))
    return parse_status::error;
  out.kind = instruction_kind::wait;
  return parse_status::ok;
}

} // namespace

std::optional<std::size_t> parse_hex_bytes(std::string_view hex, std::span<std::uint8_t> out) {
  std::size_t n = 0;
  while (n < out.size() && 2 * n + 1 < hex.size() && is_hex(hex[2 * n]) && is_hex(hex[2 * n + 1])) {
    out[n] = static_cast<std::uint8_t>((hex_value(hex[2 * n]) << 4) | hex_value(hex[2 * n + 1]));
    ++n;
  }
  if (n == 0)
    return std::nullopt;
  return n;
}

std::optional<std::size_t> parse_quoted_text(std::string_view s, std::span<std::uint8_t> out,
                                             std::string_view *rest) {
  std::size_t open = s.find('"');
  if (open == std::string_view::npos)
    return std::nullopt;
  std::size_t n = 0;
  for (std::size_t i = open + 1; i < s.size(); ++i) {
    char c = s[i];
    if (c == '"') {
      if (n == 0)
        return std::nullopt;
      if (rest)
        *rest = s.substr(i + 1);
      return n;
    }
    if (c == '\\' && i + 1 < s.size() && s[i + 1] == '"') {
      c = '"';
      ++i;
    }
    if (n == out.size())
      return std::nullopt;
    out[n++] = static_cast<std::uint8_t>(c);
  }
  return std::nullopt;
}

std::string_view strip_line_end(std::string_view line) {
  if (!line.empty() && line.back() == '\n')
    line.remove_suffix(1);
  if (!line.empty() && line.back() == '\r')
    line.remove_suffix(1);
  return line;
}

parse_status parse_instruction(std::string_view line, instruction &out) {
  out = instruction{};
  if (!line.empty() && line[0] == '#')
    return parse_status::skip;
  bool blank = true;
  for (char c : line)
    blank = blank && is_space(c);
  if (blank)
    return parse_status::skip;

  if (line.size() >= 2 && lower(line[1]) == 'a')
    out.mode = data_mode::text;
  switch (lower(line[0])) {
  case 's':
    return parse_send(line, out);
  case 'r':
    return parse_read(line, out);
  case 'w':
    out.mode = data_mode::bytes;
    return parse_wait(line, out);
  default:
    return parse_status::error;
  }
}

} // namespace serialchat
