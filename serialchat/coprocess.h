// The coprocess of `-c CMD`: a program on a new pseudo-terminal that writes serialchat's
// instructions on its standard output and reads the answers of successful reads on its input.
#pragma once

#include <cstdio>
#include <sys/types.h>

namespace serialchat {

struct coprocess {
  pid_t pid = -1;
  std::FILE *stream = nullptr; // appending stream to the terminal's master side
};

// Starts CMD (a program path, run without arguments) and makes the terminal's master side our
// standard input. Returns false after reporting through perror; `cp` then still names a child
// that was started, so that coprocess_finish can reap it.
bool coprocess_start(const char *cmd, coprocess &cp);

// Ends the child's input after the answers already written (a terminal end-of-file), waits up
// to a few seconds for it to exit, then closes our ends of the terminal (a hang-up for a child
// still running) and reaps it.
void coprocess_finish(coprocess &cp);

} // namespace serialchat
