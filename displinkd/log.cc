#include "log.h"

#include <atomic>

namespace {
// Read from the transmitter library's command thread as well as the main thread.
std::atomic<bool> debug_flag{false};
} // namespace

void set_debug() { debug_flag.store(true, std::memory_order_relaxed); }
bool get_debug() { return debug_flag.load(std::memory_order_relaxed); }
void clear_debug() { debug_flag.store(false, std::memory_order_relaxed); }
