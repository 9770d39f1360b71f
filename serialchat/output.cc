#include "output.h"

#include <cinttypes>
#include <cstring>

namespace serialchat {
namespace {

void print_stamp(std::FILE *out, const output_style &style, std::optional<std::int64_t> elapsed_us) {
  if (!style.print_timing || !elapsed_us)
    return;
  std::int64_t us = *elapsed_us < 0 ? 0 : *elapsed_us;
  auto seconds = static_cast<unsigned>(us / 1000000);
  auto millis = static_cast<unsigned>((us % 1000000) / 1000);
  std::fprintf(out, "%.5u.%.3u ", seconds, millis);
}

// Text is written byte for byte: a NUL or any other byte the device sent must not cut the line.
void print_quoted(std::FILE *out, std::span<const std::uint8_t> data) {
  std::fputc('"', out);
  if (!data.empty())
    std::fwrite(data.data(), 1, data.size(), out);
  std::fputc('"', out);
}

void print_hex(std::FILE *out, std::span<const std::uint8_t> data) {
  for (std::uint8_t b : data)
    std::fprintf(out, "%.2X", static_cast<unsigned>(b));
}

} // namespace

void print_line(std::FILE *out, const output_style &style, std::optional<std::int64_t> elapsed_us,
                std::span<const std::uint8_t> data, data_mode mode, const char *label) {
  print_stamp(out, style, elapsed_us);
  if (mode == data_mode::text)
    print_quoted(out, data);
  else
    print_hex(out, data);
  if (label)
    std::fprintf(out, "\t%s", label);
  std::fputs(style.eol, out);
  std::fflush(out);
}

void print_timeout(std::FILE *out, const output_style &style, std::optional<std::int64_t> elapsed_us,
                   const instruction &ins) {
  print_stamp(out, style, elapsed_us);
  std::fprintf(out, "---- TIMEOUT(%" PRIu32 "ms): ", ins.time_ms);
  if (ins.mode == data_mode::text)
    print_quoted(out, ins.bytes());
  else
    print_hex(out, ins.bytes());
  std::fputc(' ', out);
  print_hex(out, ins.mask_bytes());
  std::fputs(style.eol, out);
  std::fflush(out);
}

void print_usage(std::FILE *out, const char *argv0) {
  const char *slash = std::strrchr(argv0, '/');
  const char *name = slash ? slash + 1 : argv0;
  std::fprintf(out,
               "usage: %s [-b BAUDRATE] [-p o|e] [-c CMD] [-q] [-7] [-4] [-2] [-s] [-u] [-e] [-t] [-i] "
               "[-r] DEVICE\n",
               name);
  std::fputs(
      "Read instructions from stdin, sends commands to serial port DEVICE, prints output to stdout.\n"
      "   -b : use specified baudrate (default 9600)\n"
      "   -p : use odd (o) or even (e) parity (default is none)\n"
      "   -c : interact with co-process by running command CMD (connect stdin/stdout)\n"
      "   -q : quiet, only report errors (stderr)\n"
      "   -7 : use 7 data bits (default 8)\n"
      "   -2 : use 2 stop bits (default 1)\n"
      "   -s : print send data too\n"
      "   -u : print unexpected data too\n"
      "   -e : print errors to stdout\n"
      "   -t : print timing info for each command\n"
      "   -i : ignore errors, continue\n"
      "   -r : use \\r\\n as end-of-line\n"
      "Instructions are lines of ASCII text in three variations:\n"
      " s:CODE                  - send byte data output to device\n"
      " sa:\"STRING\"             - send ascii string to device\n"
      " r:CODE,TIME[,MASK]      - wait for byte data input from device\n"
      " ra:\"STRING\",TIME[,MASK] - wait for ascii string input from device\n"
      " w:TIME                  - wait (sleep)\n"
      "Where CODE is the byte code to send or read, STRING is a text string to send or read, TIME is "
      "timeout/sleeptime in milliseconds and MASK is an optional bitmask, ex:\n"
      " s:8101044704000000FF\n"
      " r:9040FF,50,FFF0FF\n"
      " w:1000\n"
      " sa:\"foo bar\"\n"
      " ra:\"baz 000\",100,FFFFFFFF000000\n"
      "Lines starting with a hash (#) are regarded as comments.\n",
      out);
  std::fflush(out);
}

} // namespace serialchat
