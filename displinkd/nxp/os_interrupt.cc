// The interrupt line as the transmitter library sees it: the daemon's GPIO source stops or
// resumes watching it. The daemon's functions log their own failures.
#include "hdtx_os.h"
#include "interrupt.h"

hdtx_err hdtx_os_disable_interrupts() {
  return displinkd_interrupt_disable() == 0 ? HDTX_OK : HDTX_ERR_NO_RESOURCES;
}

hdtx_err hdtx_os_enable_interrupts() {
  return displinkd_interrupt_enable() == 0 ? HDTX_OK : HDTX_ERR_NO_RESOURCES;
}
