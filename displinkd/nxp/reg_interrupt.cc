// Power states, hot-plug and receiver-sense detection, the interrupt handler that turns the
// chip's flags into causes and callbacks, and the unit's state machine.
#include "edid.h"
#include "reg_init.h"
#include "reg_map.h"

namespace {

struct transition {
  unsigned event;
  unsigned to;
};

// Transitions per state; an event not listed leaves the state and is counted as ignored.
// States without a row (7 to 10, and the final state 12) accept nothing.
struct state_row {
  unsigned state;
  unsigned count;
  transition moves[6];
};

constexpr state_row state_table[] = {
    {HDTX_ST_NOT_INITIALIZED, 3, {{1, 1}, {0, 0}, {6, 4}}},
    {HDTX_ST_INITIALIZED, 6, {{0, 0}, {2, 1}, {3, 2}, {5, 3}, {6, 4}, {10, 6}}},
    {HDTX_ST_LOW_POWER, 4, {{0, 0}, {2, 1}, {5, 3}, {6, 4}}},
    {HDTX_ST_ON_NO_SINK, 4, {{0, 0}, {2, 1}, {3, 2}, {6, 4}}},
    {HDTX_ST_SINK_EDID_PENDING, 5, {{0, 0}, {2, 1}, {3, 2}, {5, 2}, {9, 11}}},
    {HDTX_ST_EDID_READ, 5, {{0, 0}, {2, 1}, {3, 2}, {5, 2}, {20, 5}}},
    {HDTX_ST_RX_ACTIVE, 6, {{0, 0}, {2, 1}, {3, 2}, {5, 2}, {10, 6}, {21, 11}}},
    {HDTX_ST_VIDEO_CONFIGURED, 6, {{0, 0}, {2, 1}, {3, 2}, {5, 2}, {11, 5}, {21, 11}}},
};

bool find_transition(unsigned state, unsigned event, unsigned *to) {
  for (const state_row &row : state_table) {
    if (row.state != state)
      continue;
    for (unsigned i = 0; i < row.count; ++i) {
      if (row.moves[i].event == event) {
        *to = row.moves[i].to;
        return true;
      }
    }
  }
  return false;
}

// Order in which the causes' handlers run; cause 12 has a path of its own, after these.
constexpr unsigned callback_order[] = {7, 0, 1, 2, 3, 4, 5, 6, 8, 9, 10, 11};

constexpr std::uint8_t LEVEL_HOT_PLUG = 0x02;
constexpr std::uint8_t LEVEL_RX_SENSE = 0x01;

std::uint8_t stored_levels(const hdtx_reg_unit *u) {
  return static_cast<std::uint8_t>((u->hot_plug_level ? LEVEL_HOT_PLUG : 0) | (u->rx_sense_level ? LEVEL_RX_SENSE : 0));
}

// A version that needs it gets a full reset and set-up again when a sink arrives.
hdtx_err hot_plug_restore(hdtx_reg_unit *u, unsigned unit) {
  hdtx_err err = hdtx_reg_reset(unit);
  if (err == HDTX_OK)
    err = reg_configure(u);
  if (err == HDTX_OK)
    set_state(u, HDTX_EV_INIT);
  return err;
}

hdtx_err hot_plug_changed(hdtx_reg_unit *u, unsigned unit, std::uint8_t level) {
  u->hot_plug_level = level;
  if (level == 0) {
    set_state(u, HDTX_EV_HOT_PLUG_REMOVED);
    return HDTX_OK;
  }
  hdtx_err err = HDTX_OK;
  if (u->version == HDTX_VERSION_N2)
    err = hot_plug_restore(u, unit);
  set_state(u, HDTX_EV_HOT_PLUG_DETECTED);
  return err;
}

void rx_sense_changed(hdtx_reg_unit *u, std::uint8_t level) {
  u->rx_sense_level = level;
  set_state(u, level ? HDTX_EV_RX_SENSE_ACTIVE : HDTX_EV_RX_SENSE_INACTIVE);
}

// PLACEHOLDER power control (see reg_map.h): bit 0 of the main control register powers the
// HDMI core down.
hdtx_err write_power(hdtx_reg_unit *u, unsigned state) {
  return set_hw_register_field(u, REG_MAIN_CNTRL, 0x01, state == HDTX_POWER_ON ? 0 : 1);
}

} // namespace

void set_state(hdtx_reg_unit *u, unsigned event) {
  unsigned to = 0;
  if (find_transition(u->state, event, &to))
    u->state = to;
  else
    ++u->ignored_events;
}

hdtx_err hdtx_reg_get_state(unsigned unit, unsigned *state, std::uint32_t *ignored_events) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = check_unit(unit, &u);
  if (err != HDTX_OK)
    return err;
  if (state != nullptr)
    *state = u->state;
  if (ignored_events != nullptr)
    *ignored_events = u->ignored_events;
  return HDTX_OK;
}

hdtx_err hdtx_reg_power_set_state(unsigned unit, unsigned state) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = check_unit(unit, &u);
  if (err != HDTX_OK)
    return err;
  if (state > HDTX_POWER_OFF)
    return HDTX_REG_ERR_BAD_PARAMETER;
  err = write_power(u, state);
  if (err != HDTX_OK)
    return err;
  u->power_state = state;
  if (state != HDTX_POWER_ON) {
    set_state(u, HDTX_EV_LOW_POWER);
    return HDTX_OK;
  }
  set_state(u, HDTX_EV_POWER_ON);
  // A sink plugged while the core was down raised no interrupt: take the levels as they are.
  std::uint8_t levels = 0;
  err = get_cec_hw_register(u, CEC_REG_LEVELS, &levels);
  if (err != HDTX_OK)
    return err;
  u->hot_plug_level = (levels & LEVEL_HOT_PLUG) ? 1 : 0;
  u->rx_sense_level = (levels & LEVEL_RX_SENSE) ? 1 : 0;
  set_state(u, u->hot_plug_level ? HDTX_EV_HOT_PLUG_DETECTED : HDTX_EV_HOT_PLUG_REMOVED);
  return HDTX_OK;
}

hdtx_err hdtx_reg_power_get_state(unsigned unit, unsigned *state) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = check_unit(unit, &u);
  if (err != HDTX_OK)
    return err;
  if (state == nullptr)
    return HDTX_REG_ERR_BAD_PARAMETER;
  *state = u->power_state;
  return HDTX_OK;
}

hdtx_err hdtx_reg_hot_plug_get_status(unsigned unit, bool *plugged) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = check_unit(unit, &u);
  if (err != HDTX_OK)
    return err;
  if (plugged == nullptr)
    return HDTX_REG_ERR_BAD_PARAMETER;
  *plugged = u->hot_plug_level != 0;
  return HDTX_OK;
}

hdtx_err hdtx_reg_rx_sense_get_status(unsigned unit, bool *active) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = check_unit(unit, &u);
  if (err != HDTX_OK)
    return err;
  if (active == nullptr)
    return HDTX_REG_ERR_BAD_PARAMETER;
  *active = u->rx_sense_level != 0;
  return HDTX_OK;
}

hdtx_err hdtx_reg_set_interrupt_handling(unsigned unit, bool enabled) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = check_unit(unit, &u);
  if (err != HDTX_OK)
    return err;
  u->interrupt_handling = enabled;
  return HDTX_OK;
}

hdtx_err hdtx_reg_get_interrupt_handling(unsigned unit, bool *enabled) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = check_unit(unit, &u);
  if (err != HDTX_OK)
    return err;
  if (enabled == nullptr)
    return HDTX_REG_ERR_BAD_PARAMETER;
  *enabled = u->interrupt_handling;
  return HDTX_OK;
}

hdtx_err hdtx_reg_get_sink_type(unsigned unit, unsigned *sink_type) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = check_unit(unit, &u);
  if (err != HDTX_OK)
    return err;
  if (sink_type == nullptr)
    return HDTX_REG_ERR_BAD_PARAMETER;
  *sink_type = u->sink_type;
  return HDTX_OK;
}

hdtx_err hdtx_reg_set_sink_type(unsigned unit, unsigned sink_type) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = check_unit(unit, &u);
  if (err != HDTX_OK)
    return err;
  if (sink_type > HDTX_SINK_HDMI)
    return HDTX_REG_ERR_BAD_PARAMETER;
  u->sink_type = sink_type;
  return HDTX_OK;
}

hdtx_err hdtx_reg_hw_handle_interrupt(unsigned unit) {
  hdtx_reg_unit *u = nullptr;
  hdtx_err err = check_unit(unit, &u);
  if (err != HDTX_OK)
    return err;

  std::uint8_t flags = 0;
  std::uint8_t levels = 0;
  err = get_cec_hw_register(u, CEC_REG_CHANGE_FLAGS, &flags);
  if (err == HDTX_OK)
    err = get_cec_hw_register(u, CEC_REG_LEVELS, &levels);
  if (err != HDTX_OK)
    return err;
  levels &= LEVEL_HOT_PLUG | LEVEL_RX_SENSE;
  flags &= LEVEL_HOT_PLUG | LEVEL_RX_SENSE;

  std::uint32_t causes = 0;
  std::uint8_t last = stored_levels(u);
  if (levels != last && flags == 0) {
    // A level moved without its change flag: re-arm the detection and look again.
    err = set_cec_hw_register(u, CEC_REG_REARM, 0);
    if (err == HDTX_OK)
      err = set_cec_hw_register(u, CEC_REG_REARM, 3);
    if (err == HDTX_OK)
      err = get_cec_hw_register(u, CEC_REG_LEVELS, &levels);
    if (err != HDTX_OK)
      return err;
    levels &= LEVEL_HOT_PLUG | LEVEL_RX_SENSE;
  }

  // A flag whose level is back where it was: the line went and came back between two reads.
  // Report the lost half first so that the application sees both edges.
  if ((flags & LEVEL_HOT_PLUG) && (levels & LEVEL_HOT_PLUG) == (last & LEVEL_HOT_PLUG)) {
    err = hot_plug_changed(u, unit, u->hot_plug_level ? 0 : 1);
    causes |= 1u << HDTX_CAUSE_HOT_PLUG;
  }
  if ((flags & LEVEL_RX_SENSE) && (levels & LEVEL_RX_SENSE) == (last & LEVEL_RX_SENSE)) {
    rx_sense_changed(u, u->rx_sense_level ? 0 : 1);
    causes |= 1u << HDTX_CAUSE_RX_SENSE;
  }
  std::uint8_t hot_plug = (levels & LEVEL_HOT_PLUG) ? 1 : 0;
  if (hot_plug != u->hot_plug_level) {
    hdtx_err restore = hot_plug_changed(u, unit, hot_plug);
    if (err == HDTX_OK)
      err = restore;
    causes |= 1u << HDTX_CAUSE_HOT_PLUG;
  }
  std::uint8_t rx_sense = (levels & LEVEL_RX_SENSE) ? 1 : 0;
  if (rx_sense != u->rx_sense_level) {
    rx_sense_changed(u, rx_sense);
    causes |= 1u << HDTX_CAUSE_RX_SENSE;
  }
  if (err != HDTX_OK)
    return err;

  if (u->power_state == HDTX_POWER_ON) {
    std::uint8_t int0 = 0;
    std::uint8_t int1 = 0;
    std::uint8_t int2 = 0;
    err = get_hw_register(u, REG_INT_FLAGS_0, &int0);
    if (err == HDTX_OK)
      err = get_hw_register(u, REG_INT_FLAGS_1, &int1);
    if (err == HDTX_OK)
      err = get_hw_register(u, REG_INT_FLAGS_2, &int2);
    if (err != HDTX_OK)
      return err;
    if (int0 & INT0_SOFTWARE)
      causes |= 1u << HDTX_CAUSE_SOFTWARE;
    if (int1 & INT1_EXTENDED)
      causes |= 1u << HDTX_CAUSE_EXTENDED;
    if ((int1 & INT1_CEC) && u->cause12_enabled)
      causes |= 1u << HDTX_CAUSE_CEC;
    if (int2 & INT2_EDID_BLOCK)
      causes |= 1u << HDTX_CAUSE_EDID_BLOCK;
  }

  if (causes & (1u << HDTX_CAUSE_HOT_PLUG)) {
    // Whatever block arrives belongs to a sink that has gone (or come back): start afresh.
    if (u->edid.request_pending)
      clear_edid_request(u);
    causes &= ~(1u << HDTX_CAUSE_EDID_BLOCK);
  } else if (causes & (1u << HDTX_CAUSE_EDID_BLOCK)) {
    bool complete = false;
    if (u->edid.request_pending) {
      err = edid_block_available(u, &complete);
      if (err != HDTX_OK)
        return err;
    }
    if (!complete)
      causes &= ~(1u << HDTX_CAUSE_EDID_BLOCK);
  }

  for (unsigned cause : callback_order) {
    if ((causes & (1u << cause)) && u->callbacks[cause] != nullptr)
      u->callbacks[cause](unit);
  }
  if ((causes & (1u << HDTX_CAUSE_CEC)) && u->callbacks[HDTX_CAUSE_CEC] != nullptr)
    u->callbacks[HDTX_CAUSE_CEC](unit);
  return HDTX_OK;
}
