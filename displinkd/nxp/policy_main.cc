// Entry points of the output policy for the daemon frame and the interrupt line.
#include "displinkd_nxp.h"
#include "policy.h"

#include "log.h"

#include <atomic>

namespace {

// Written once at bring-up on the main thread; read by the command thread on each EDID.
std::atomic<bool> cec_enabled{false};

} // namespace

int displinkd_nxp_init(bool cec, bool force_scaling) {
  cec_enabled = cec;
  if (displinkd_nxp_tx_init(force_scaling) != 0)
    return 1;
  if (cec_enabled && displinkd_nxp_cec_init() != 0) {
    DL_WARNING("%sCEC core failed initialization, functionality will be unavailable");
    cec_enabled = false;
  }
  return 0;
}

void displinkd_nxp_interrupt_callback() {
  // Both cores share the line; the CEC core is served here at once, the transmitter's work is
  // handed to its command thread.
  if (cec_enabled)
    displinkd_nxp_cec_interrupt_callback();
  displinkd_nxp_tx_interrupt_callback();
}

void displinkd_nxp_cec_address_received(unsigned address) {
  if (cec_enabled)
    displinkd_nxp_cec_send_address(static_cast<std::uint16_t>(address & 0xFFFF));
}

void displinkd_nxp_shutdown() {
  if (cec_enabled)
    displinkd_nxp_cec_shutdown();
  displinkd_nxp_tx_shutdown();
}
