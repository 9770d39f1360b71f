// Inside of the transmitter's device library: the unit table's one instance, the module
// semaphore that serialises it, the event table and the helpers the library's files share.
// Only the device library's own files include this header.
#pragma once

#include "hdtx.h"
#include "hdtx_os.h"
#include "hdtx_reg_av.h"

#include <array>
#include <atomic>
#include <cstdint>

// Messages of the command queue.
enum : std::uint8_t {
  DEV_MSG_INTERRUPT = 0,  // run the register layer's interrupt handler
  DEV_MSG_EDID_READY = 1, // an EDID that completed before set-up: tell the application now
  DEV_MSG_STOP = 0xFF,    // leave the command thread (close)
};

struct hdtx_dev_instance {
  // Read without the semaphore by the interrupt hand-off; everything else only under it.
  std::atomic<bool> open{false};
  std::atomic<unsigned> queue{0};

  bool closing = false;
  unsigned state = HDTX_STATE_CLOSED;
  unsigned chip_version = 0; // 1 to 4 for the supported versions, 0 otherwise
  hdtx_setup_info setup{};
  hdtx_callback_func callback = nullptr;
  unsigned task = 0;
  unsigned semaphore = 0;
  hdtx_config config{};
  std::array<bool, HDTX_EVENT_COUNT> event_enabled{};
  bool edid_before_setup = false; // an EDID read ended while the instance was not yet set up

  // What hdtx_set_input_output last configured.
  bool video_configured = false;
  unsigned vout_format = 0;
  bool ext_colorimetry = false; // extended colorimetry in the AVI infoframe
  bool audio_mute = false;      // keep audio muted after an audio set-up
};

hdtx_dev_instance &dev_instance();

// Checks the instance number and that it is open, then takes the module semaphore.
hdtx_err dev_enter(unsigned instance);
// Releases the module semaphore.
void dev_leave();

// Raises an application event from the command thread, with the semaphore held: when the
// event is enabled and a callback registered, the semaphore is released around the call.
void dev_raise_event(unsigned event);

// The register layer's cause handlers, in cause order (13 entries).
const hdtx_reg_callback *dev_reg_callbacks();
// The command thread's body.
void dev_command_task();

// The resolution table's row of a code, null when unlisted.
const hdtx_video_format_specs *dev_find_format(unsigned code);
// Sync references for an input with external sync.
hdtx_sync_manual dev_sync_timing(unsigned code);

// hdtx_set_audio_input's work, with the semaphore held.
hdtx_err dev_set_audio_input(const hdtx_audio_in_config *audio_in, unsigned sink_type);
