// The transmitter library's operating-system layer: task slots on POSIX threads, queues of
// one-byte messages, counting semaphores, the millisecond sleep and the interrupt line's watch.
// It owns the slot tables of tasks (5), queues (5) and semaphores (5); objects are named by
// their slot number. Failures of the POSIX calls are logged to syslog at error priority.
#pragma once

#include "hdtx.h"
#include "hdtx_types.h"

#include <cstdint>

inline constexpr unsigned HDTX_OS_TASKS = 5;
inline constexpr unsigned HDTX_OS_QUEUES = 5;
inline constexpr unsigned HDTX_OS_SEMAPHORES = 5;

using hdtx_os_task_func = void (*)();

// Sleeps (ms & 0xFFFF) milliseconds through the wait function in force.
hdtx_err hdtx_os_wait(std::uint16_t ms);
// Replaces the sleep behind hdtx_os_wait (tests count the waits instead of sleeping); null
// restores the real sleep.
void hdtx_os_set_wait_function(hdtx_wait_func wait);

// Takes the first free task slot; HDTX_ERR_NO_RESOURCES when none is free.
hdtx_err hdtx_os_task_create(hdtx_os_task_func function, unsigned priority, unsigned stack_size,
                             unsigned *number);
// Runs the slot's function on a new thread; HDTX_ERR_TASK_STARTED for a started slot,
// HDTX_ERR_THREAD_CREATION when the thread cannot be made.
hdtx_err hdtx_os_task_start(unsigned number);
// Frees the slot and detaches its thread, which goes on running.
hdtx_err hdtx_os_task_destroy(unsigned number);
// Waits until the slot's thread has returned from its function, then frees the slot. From the
// task's own thread it detaches instead, as a thread cannot wait for itself.
hdtx_err hdtx_os_task_join(unsigned number);

// A ring of `size` (1 to 255) one-byte messages; HDTX_ERR_NO_RESOURCES when no slot is free.
hdtx_err hdtx_os_queue_create(unsigned size, unsigned *number);
// HDTX_ERR_QUEUE_FULL (logged "Queue is full") when all `size` places hold a message; the
// queue is then left as it was.
hdtx_err hdtx_os_queue_send(unsigned number, std::uint8_t message);
// Blocks until a message is there and takes the oldest.
hdtx_err hdtx_os_queue_receive(unsigned number, std::uint8_t *message);
// The number of messages waiting (tests and diagnostics).
hdtx_err hdtx_os_queue_count(unsigned number, unsigned *count);
// Frees the slot. No thread may be waiting on the queue any more.
hdtx_err hdtx_os_queue_destroy(unsigned number);

// Semaphores start at 1: P waits, V posts.
hdtx_err hdtx_os_semaphore_create(unsigned *number);
hdtx_err hdtx_os_semaphore_destroy(unsigned number);
hdtx_err hdtx_os_semaphore_p(unsigned number);
hdtx_err hdtx_os_semaphore_v(unsigned number);

// Stop / resume watching the transmitter's interrupt line (the daemon's GPIO source).
hdtx_err hdtx_os_disable_interrupts();
hdtx_err hdtx_os_enable_interrupts();

// For the layer's own files: logs a failed POSIX call to syslog at error priority as
// "function:line:system error text".
void hdtx_os_log_error(const char *function, int line, int error);
