// The input path: one UDP datagram of the transport stream becomes the next numbered slice of
// the ring, read straight into its slot.
#pragma once

#include <cstdint>

struct tesseltx;
struct tun_slice;
struct stats;

// Reads at most one datagram from the input socket into ring slot `next`.
void tun_net_rx(tesseltx *t);

// Counts sync-byte, transport-error and continuity faults of the slice's whole TS packets,
// remembering each PID's last continuity counter in `cc`. Never alters the data.
void tun_ts_check(const tun_slice *s, unsigned char *cc, stats *st);

// Slice supply of the encryption worker; called with the encryption lock held.
tun_slice *tun_aes_condition();
