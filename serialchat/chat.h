// The instruction loop of serialchat: reads instructions, sends to the port, waits for the
// expected answers against a deadline counted from the last event, sleeps, and prints.
#pragma once

#include "instruction.h"
#include "output.h"
#include "receive_buffer.h"

#include <cstdint>
#include <cstdio>

namespace serialchat {

struct chat {
  int port_fd = -1;
  std::FILE *err_file = stderr;
  output_style style;
  bool quiet = false;
  bool print_sent = false;
  bool print_unexpected = false;
  bool cont = false;
  std::FILE *coproc = nullptr;
  // Times on the monotonic clock, in microseconds.
  std::int64_t start_time_us = 0;
  std::int64_t last_event_us = 0;
  receive_buffer rx;
};

// How the program goes on after an instruction or the loop.
enum class chat_result {
  next,        // carry on with the next instruction
  done,        // end normally: status 0
  failed,      // end with status 1, closing the coprocess first
  failed_now,  // end with status 1 at once
};

std::int64_t monotonic_now_us();

chat_result chat_send(chat &c, const instruction &ins);
chat_result chat_read(chat &c, const instruction &ins);
void chat_wait(const instruction &ins);

// Reads and carries out instructions from `in` until the end of input or an error.
chat_result chat_run(chat &c, std::FILE *in);

} // namespace serialchat
