// The once-a-second statistics report: 43 lines, one rrdcached "update" per data source, built
// from the snapshots and written one line per writable pass of a client. Also the glue that
// hands the transmitter's logging and report to the two rrdcached clients.
#pragma once

#include <cstddef>
#include <cstdint>

#include "nk_context.h"

struct tesseltx;
struct rrdc;

inline constexpr int tun_rrd_report_lines = 43;

// The client's `report` callback: writes the line at the client's cursor and advances it; a
// cursor outside 1..43 writes nothing and goes back to 0 (idle).
void tun_rrd_report(rrdc *c);

// The text of report line `line_no` for client `c`, zero-terminated in `out`; returns its
// length, or -1 when line_no is outside 1..43. Reads the process CPU time and memory size for
// the lines that carry them.
int tun_rrd_line(tesseltx *t, const rrdc *c, int line_no, char *out, std::size_t size);

// The number after "VmSize:" in a /proc/<pid>/status text, in kB; 0 without such a line.
// 64 bits wide: a 64-bit process (a sanitizer's shadow memory, say) can map more than 4 TB.
std::uint64_t tun_vmsize_kb(const char *status, std::size_t len);

// The clients' `log` callback: nk_log on the transmitter's context.
void tun_rrd_log(void *box, int prio, const char *fmt, ...) NK_PRINTF(3, 4);

// Start-up of one configured client: logging, report and prefix, then the first attempt.
void tun_rrd_start(tesseltx *t, rrdc *c, const char *prefix);
