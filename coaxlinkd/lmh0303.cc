#include "lmh0303.h"

#include "config.h"
#include "log.h"
#include "ugpio.h"

namespace {

ugpio_t *sdi_en_ugpio = nullptr;

int drive(int value) {
  const int pin = coaxlinkd_config_get_SDI_chip_enable_pin();
  if (sdi_en_ugpio == nullptr) {
    DL_ERROR("%sgpio %d not opened", pin);
    return 0;
  }
  if (ugpio_set_value(sdi_en_ugpio, value) < 0) {
    DL_ERROR("%sUnable to set value of gpio %d", pin);
    return 0;
  }
  return 1;
}

} // namespace

int lmh0303_sdi_chip_init() {
  const int pin = coaxlinkd_config_get_SDI_chip_enable_pin();
  if (pin < 0) {
    DL_ERROR("%sFailed when requesting gpio %d", pin);
    return 1;
  }
  ugpio_t *g = ugpio_request_one(static_cast<unsigned>(pin), 0, nullptr);
  if (g == nullptr) {
    DL_ERROR("%sFailed when requesting gpio %d", pin);
    return 1;
  }
  if (ugpio_open(g) < 0) {
    DL_ERROR("%sUnable to open gpio %d", pin);
    ugpio_free(g);
    return 1;
  }
  lmh0303_sdi_chip_cleanup();
  sdi_en_ugpio = g;
  return 0;
}

int lmh0303_sdi_chip_enable() {
  return drive(1);
}

int lmh0303_sdi_chip_disable() {
  return drive(0);
}

void lmh0303_sdi_chip_cleanup() {
  if (sdi_en_ugpio != nullptr) {
    ugpio_close(sdi_en_ugpio);
    ugpio_free(sdi_en_ugpio);
    sdi_en_ugpio = nullptr;
  }
}
