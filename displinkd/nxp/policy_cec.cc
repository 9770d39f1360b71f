// The CEC side of the output policy: bring-up with the clock calibration, the announcement of
// this source after each EDID, and the answers to the television.
//
// Two threads call the CEC library, which has no lock of its own: the announcement runs on the
// transmitter library's command thread (from the EDID event), interrupts and replies on the main
// thread. Every entry into the library therefore holds cec_lock. The lock is recursive because
// replies are sent from inside hdcec_handle_interrupt's callback, on the thread that holds it.
#include "displinkd_nxp.h"
#include "policy.h"

#include "hdcec.h"
#include "interrupt.h"
#include "log.h"

#include <array>
#include <mutex>

namespace {

constexpr std::uint8_t tv_address = 0;
constexpr std::uint8_t cec_version_1_4 = 4;
constexpr std::uint8_t power_status_on = 0;
constexpr std::uint8_t device_type_announce = 4;
constexpr std::uint8_t device_type_reply = 1;
constexpr std::uint32_t vendor_id = 0x12345;
constexpr std::array<std::uint8_t, 3> osd_name{'P', 'T', 'Z'};

std::recursive_mutex cec_lock;
unsigned cec_instance = 0;
const hdcec_setup_info cec_setup_info{.logical_address = 1, .keep_clock = 1};
std::uint16_t physical_address = 0; // guarded by cec_lock

// Operand bytes of a received frame that a television may fill with anything: shown as they are
// when printable, as '.' otherwise, so that a log line never carries control bytes.
char printable(std::uint8_t c) { return c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.'; }

unsigned operand_count(const hdcec_frame *f) {
  const unsigned n = f->size >= 4 ? f->size - 4u : 0u;
  return n < sizeof f->operands ? n : static_cast<unsigned>(sizeof f->operands);
}

void send_osd_name() {
  if (hdcec_set_osd_name(cec_instance, tv_address, osd_name.data(), osd_name.size()) != 0)
    DL_ERROR("%sSend message SET_OSD_NAME");
}

void received(const hdcec_frame *f) {
  const unsigned n = operand_count(f);
  const std::uint8_t *op = f->operands;
  switch (f->opcode) {
  case 0x00:
    DL_DEBUG("%sFEATURE_ABORT");
    if (n >= 2)
      DL_DEBUG("%s <Opcode = %x> <Abort Reason = %x>", op[0], op[1]);
    break;
  case 0x32:
    DL_DEBUG("%sSET_MENU_LANGUAGE");
    if (n >= 3)
      DL_DEBUG("%s <Language = %c%c%c>", printable(op[0]), printable(op[1]), printable(op[2]));
    break;
  case 0x36:
    DL_DEBUG("%sSTANDBY");
    break;
  case 0x44:
    DL_DEBUG("%sUser control pressed, button: %x", n >= 1 ? op[0] : 0u);
    break;
  case 0x45:
    DL_DEBUG("%sUSER CONTROL RELEASED");
    break;
  case 0x46:
    DL_DEBUG("%sGIVE_OSD_NAME");
    send_osd_name();
    break;
  case 0x47: {
    DL_DEBUG("%sSET OSD NAME");
    char name[sizeof f->operands + 1] = {};
    for (unsigned i = 0; i < n; ++i)
      name[i] = printable(op[i]);
    DL_DEBUG("%s <Osd Name = %s > ", name);
    break;
  }
  case 0x83:
    DL_DEBUG("%sGIVE_PHYSICAL_ADDRESS");
    if (hdcec_report_physical_address(cec_instance, physical_address, device_type_reply) != 0)
      DL_ERROR("%sSend message Report Physical Address");
    break;
  case 0x84:
    DL_DEBUG("%sREPORT_PHYSICAL_ADDRESS");
    break;
  case 0x85:
    DL_DEBUG("%sREQUEST_ACTIVE_SOURCE");
    if (hdcec_active_source(cec_instance, physical_address) != 0)
      DL_ERROR("%sSend message Active Source");
    break;
  case 0x86:
    DL_DEBUG("%sSET STREAM PATH");
    if (hdcec_active_source(cec_instance, physical_address) != 0)
      DL_ERROR("%sSend message ACTIVE SOURCE");
    break;
  case 0x87:
    DL_DEBUG("%sDEVICE_VENDOR_ID");
    break;
  case 0x8C:
    DL_DEBUG("%sGIVE_DEVICE_VENDOR_ID");
    if (hdcec_device_vendor_id(cec_instance, vendor_id) != 0)
      DL_ERROR("%sSend message DEVICE_VENDOR_ID");
    break;
  case 0x8D:
    DL_DEBUG("%sMENU REQUEST");
    if (n >= 1)
      DL_DEBUG("%s <Menu Request Type = %x>", op[0]);
    break;
  case 0x8F:
    DL_DEBUG("%sGIVE DEVICE POWER STATUS");
    (void)hdcec_report_power_status(cec_instance, tv_address, power_status_on);
    break;
  case 0x90:
    DL_DEBUG("%sREPORT POWER STATUS");
    if (n >= 1)
      DL_DEBUG("%s <Power Status = %x>", op[0]);
    break;
  case 0x9E:
    DL_DEBUG("%sCEC_VERSION");
    if (n >= 1)
      DL_DEBUG("%s <CEC Version = %x>", op[0]);
    break;
  case 0x9F:
    DL_DEBUG("%sGET_CEC_VERSION");
    if (hdcec_version(cec_instance, tv_address, cec_version_1_4) != 0)
      DL_ERROR("%sSend message CEC_VERSION");
    break;
  case 0xFF:
    DL_DEBUG("%sABORT_MESSAGE");
    break;
  default:
    DL_DEBUG("%sNOT YET SUPPORTED OPCode = 0x%x", f->opcode);
    break;
  }
}

void cec_message_callback(unsigned event, const hdcec_frame *frame) {
  if (event == HDCEC_EVENT_RECEIVED && frame != nullptr)
    received(frame);
  else if (event == HDCEC_EVENT_TX_STATUS)
    DL_DEBUG("%sEvent callback CEC : STATUS");
  else
    DL_DEBUG("%sunexpected CEC event: %u", event);
}

} // namespace

void displinkd_nxp_cec_calibrate() {
  DL_DEBUG("%sStarting calibration sequence");
  displinkd_interrupt_init_cec_calibration();
  hdcec_enable_calibration(cec_instance, 1);
  displinkd_interrupt_perform_cec_calibration();
  hdcec_disable_calibration(cec_instance);
  displinkd_interrupt_end_cec_calibration();
  DL_DEBUG("%sCalibration sequence done");
}

int displinkd_nxp_cec_init() {
  std::lock_guard lock(cec_lock);
  DL_DEBUG("%sInitializing cec transceiver");
  if (hdcec_open(&cec_instance) != 0) {
    DL_ERROR("%sCEC Driver open failed");
    return 2;
  }
  DL_DEBUG("%sCEC Driver open done");
  if (hdcec_instance_setup(cec_instance, &cec_setup_info) != 0)
    DL_ERROR("%sFailed to perform setup for CEC device");
  if (hdcec_set_power_state(cec_instance, HDCEC_POWER_ON) != 0)
    DL_ERROR("%sFailed to set power state for CEC device");
  displinkd_nxp_cec_calibrate();
  if (hdcec_register_callbacks(cec_instance, cec_message_callback) != 0)
    DL_ERROR("%sRegister callbacks failed for CEC");
  else
    DL_DEBUG("%sRegister callback done for CEC");
  return 0;
}

void displinkd_nxp_cec_send_address(std::uint16_t address) {
  std::lock_guard lock(cec_lock);
  physical_address = address;
  if (hdcec_report_physical_address(cec_instance, physical_address, device_type_announce) != 0)
    DL_ERROR("%sFailed to broadcast CEC physical address");
  if (hdcec_active_source(cec_instance, physical_address) != 0)
    DL_ERROR("%sSend message Active Source");
  if (hdcec_version(cec_instance, tv_address, cec_version_1_4) != 0)
    DL_ERROR("%sSend message CEC_VERSION");
  send_osd_name();
  if (hdcec_report_power_status(cec_instance, tv_address, power_status_on) != 0)
    DL_ERROR("%sSend message REPORT_POWER_STATUS");
}

void displinkd_nxp_cec_interrupt_callback() {
  std::lock_guard lock(cec_lock);
  if (hdcec_handle_interrupt(cec_instance) != 0)
    DL_ERROR("%sHandle interrupt failed");
}

void displinkd_nxp_cec_shutdown() {
  std::lock_guard lock(cec_lock);
  hdcec_close(cec_instance);
}
