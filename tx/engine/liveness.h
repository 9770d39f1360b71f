// Liveness of the tunnel: pings from receivers, the silence after which a description is
// re-sent and a backup takes over, the ping time-outs, the no-data alert and the bookkeeping
// of each pass's new time.
#pragma once

#include <cstdint>

#include "tun_time.h"

struct tesseltx;
struct transmission;

// Silence, in ms, after which a transmission re-sends its description (and, in backup mode,
// gives way to the next one): 1.2 x the tunnel delay, but never less than a floor, so that a
// zero or tiny delay does not turn every loop pass into a send.
inline constexpr std::uint64_t tr_silence_floor_ms = 250;
std::uint64_t tr_silence_ms(unsigned int delay_ms);

// A ping arrived in the transmission's `packet`: the reply answers the latest one.
void tun_ping_request(transmission *tr);

// What the loop must do for the active transmission after the liveness check.
enum class tun_backup_action { none, resocket };

// In backup mode, hands over to the next transmission after silence on the active one. Else,
// with protocol v6 or later, applies the ping time-outs: asks for a new socket (-U), or stops
// the tunnel through tx_stop (-u).
tun_backup_action tun_switch_backup(tesseltx *t);

// Once per statistics tick: warns for every active transmission that sent no data for 1 s.
void tun_alert(tesseltx *t);

// A pass's new time `now`, read after the wait: a clock that went back is logged, outputs not
// yet timed start their no-data clock, and the alert check runs.
void tx_tick(tesseltx *t, const timespec64 &now);
