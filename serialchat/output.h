// Every line serialchat prints: data lines (hex or quoted text, optional time stamp and label),
// the timeout report and the usage text.
#pragma once

#include "instruction.h"

#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>

namespace serialchat {

struct output_style {
  const char *eol = "\n";
  bool print_timing = false;
};

// Labels of data lines; a null label leaves the TAB out altogether.
inline constexpr const char *label_send = "SEND";
inline constexpr const char *label_unexpected = "UNEXPECTED";
inline constexpr const char *label_empty = "";

// [time stamp] data [TAB label] eol. The stamp appears only with print_timing and when
// `elapsed_us` (time since the port was set up) is given. Each line is flushed at once so that
// a reader on a pipe or a coprocess sees it without waiting for more.
void print_line(std::FILE *out, const output_style &style, std::optional<std::int64_t> elapsed_us,
                std::span<const std::uint8_t> data, data_mode mode, const char *label);

// [time stamp] "---- TIMEOUT(<ms>ms): " expected data, a blank, the mask, eol.
void print_timeout(std::FILE *out, const output_style &style, std::optional<std::int64_t> elapsed_us,
                   const instruction &ins);

// The usage text, with the base name of `argv0`.
void print_usage(std::FILE *out, const char *argv0);

} // namespace serialchat
