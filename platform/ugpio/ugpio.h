/* GPIO lines through the kernel's sysfs GPIO interface under "/sys/class/gpio".
 *
 * Shape: handle based. ugpio_request_one() exports the line when "gpioN" is absent, applies the
 * flags and returns a handle that owns the line from then on; ugpio_open() opens the line's
 * "value" file (the descriptor to watch for edges), ugpio_full_open() also keeps its
 * "direction" and "edge" files open, so that a process can still reconfigure the line after it
 * has given up the privileges needed to open them. ugpio_close() closes what the open calls
 * opened; ugpio_free() closes, unexports the line and frees the handle.
 *
 * Conventions: functions returning int give 0 on success and -1 with errno set on failure;
 * ugpio_get_value() gives the level (0 or 1) or -1; ugpio_request_one() gives a handle or NULL
 * with errno set. Value access needs an open handle (EBADF otherwise); direction and edge calls
 * work on any handle, through the kept descriptors after ugpio_full_open() or by opening the
 * file for the one write.
 *
 * Request flags:
 *   UGPIO_F_IN          the line becomes an input; without it the line becomes an output,
 *                       driven low unless UGPIO_F_INIT_HIGH is given (so flags 0 requests an
 *                       output that starts inactive)
 *   UGPIO_F_INIT_HIGH   an output starts driven high (outputs only)
 *   UGPIO_F_EDGE(e)     an input starts with edge detection e (one of UGPIO_EDGE_*; inputs only)
 * Example: UGPIO_F_IN | UGPIO_F_EDGE(UGPIO_EDGE_FALLING) == 0x140, an interrupt input that
 * signals falling edges. Unknown bits, an unknown edge number and edge or initial-level bits that
 * do not fit the direction are refused with EINVAL before the line is touched.
 *
 * Edge numbers are a bit set of the edges that are signalled: rising (1), falling (4), both (5);
 * 0 turns edge detection off. Any other number is refused with EINVAL.
 *
 * A handle is not safe for use from several threads at once without the caller's own lock.
 */
#ifndef UGPIO_UGPIO_H
#define UGPIO_UGPIO_H

#ifdef __cplusplus
extern "C" {
#endif

#define UGPIO_EDGE_NONE 0
#define UGPIO_EDGE_RISING 1
#define UGPIO_EDGE_FALLING 4
#define UGPIO_EDGE_BOTH 5

#define UGPIO_F_INIT_HIGH 0x001u
#define UGPIO_F_EDGE_SHIFT 4
#define UGPIO_F_EDGE_MASK 0x070u
#define UGPIO_F_EDGE(e) (((unsigned)(e) << UGPIO_F_EDGE_SHIFT) & UGPIO_F_EDGE_MASK)
#define UGPIO_F_IN 0x100u

typedef struct ugpio ugpio_t;

/* Requests line `gpio`: exports it unless "gpioN" exists already, then sets its direction (and
 * initial level or edge) from `flags`. `label` names the user in messages and may be NULL; it is
 * copied. On failure a line this call exported is unexported again. */
ugpio_t *ugpio_request_one(unsigned int gpio, unsigned int flags, const char *label);

/* Opens the value file read-write. Opening an open handle is a no-op. */
int ugpio_open(ugpio_t *g);
/* Opens the value, direction and edge files and keeps them open. */
int ugpio_full_open(ugpio_t *g);
/* Closes every descriptor the handle holds; the line stays exported and configured. */
int ugpio_close(ugpio_t *g);
/* Closes the handle, unexports the line and frees the handle. NULL is accepted. Returns -1 when
 * the unexport failed (the handle is freed all the same). */
int ugpio_free(ugpio_t *g);

/* "in" */
int ugpio_direction_input(ugpio_t *g);
/* "high" or "low": the direction and the level change in one write, without a glitch. */
int ugpio_direction_output(ugpio_t *g, int value);
/* One of UGPIO_EDGE_*: "none", "rising", "falling", "both". */
int ugpio_set_edge(ugpio_t *g, int edge);

/* Reads the level from offset 0, which also acknowledges a signalled edge. */
int ugpio_get_value(ugpio_t *g);
/* Drives an output: any non-zero value is 1. */
int ugpio_set_value(ugpio_t *g, int value);

/* The value file's descriptor (-1 when not open): poll it for POLLPRI | POLLERR to wait for an
 * edge, then acknowledge with ugpio_get_value(). */
int ugpio_fd(const ugpio_t *g);
unsigned int ugpio_gpio(const ugpio_t *g);
const char *ugpio_label(const ugpio_t *g);

#ifdef __cplusplus
}
#endif

#endif
