// The statistics tick: what the once-a-second SIGALRM does with the engine's counters.
#pragma once

struct tesseltx;

// Raises the alert check, freezes stat into stat2 for the tunnel and every transmission, clears
// the sampled accumulators and starts a report on both rrdcached clients.
void tun_stats_snapshot(tesseltx *t);
