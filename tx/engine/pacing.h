// Pacing of a transmission's stream packets: a window of at most `bw.max` packets per second,
// opened by the first packet and spread evenly over its second.
#pragma once

struct transmission;

// 1 when a stream packet may go now (and counts it in the window), else 0.
int tr_bandwidth(transmission *tr);
