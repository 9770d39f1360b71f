// The statistics tick: what the once-a-second SIGALRM does with the engine's counters, and the
// time stamp each report carries.
#pragma once

#include <cstdint>

struct tesseltx;

// Raises the alert check, freezes stat into stat2 for the tunnel and every transmission, clears
// the sampled accumulators and starts a report on both rrdcached clients, stamped from the wall
// clock's seconds in `now_tv` by the rule of tun_stats_stamp.
void tun_stats_snapshot(tesseltx *t);

// The stamp of a client's next report, given its previous one and the wall clock's seconds. A
// server takes an update only when its time is after the file's last one, so the stamp never
// goes back: it is the wall clock when that is past the previous stamp, else the previous stamp
// plus one second (a wall clock set back, or read twice in one second). A wall clock set
// forward is followed at once and leaves a gap in the files.
std::int64_t tun_stats_stamp(std::int64_t previous, std::int64_t wall);
