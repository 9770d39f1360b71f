#include "cec_unit.h"
#include "i2c.h"

const hdcec_config hdcec_config_table[HDCEC_UNITS] = {
    {.command_task_priority = 250,
     .stack_size = 128,
     .queue_size = 8,
     .i2c_address = 0x34,
     .read = displinkd_i2c_read_adapter,
     .write = displinkd_i2c_write_adapter,
     .data = nullptr},
};

hdcec_err hdcec_cfg_get_config(unsigned unit, hdcec_config *config) {
  if (unit >= HDCEC_UNITS)
    return HDCEC_ERR_BAD_UNIT;
  if (config == nullptr)
    return HDCEC_ERR_NULL_ARGUMENT;
  *config = hdcec_config_table[unit];
  return 0;
}
