// The platform video device's external-device requests: how a daemon reaches registers of a device
// hanging off the FPGA (the HDMI control word, the SDI serialiser). Shared by both output daemons
// and by the simulated video device of the tests.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr char CAM_DEVICE_PATH[] = "/dev/cam0";

// Three 32-bit words. For the attach request the same words carry 1, the device's I2C address and
// its bus identifier.
struct cam_extern_req {
  std::uint32_t reg;
  std::uint32_t value;
  std::uint32_t dev_nbr;
};
static_assert(sizeof(cam_extern_req) == 12);
static_assert(offsetof(cam_extern_req, reg) == 0);
static_assert(offsetof(cam_extern_req, value) == 4);
static_assert(offsetof(cam_extern_req, dev_nbr) == 8);

// Request codes as the driver defines them; the attach request returns the device number.
inline constexpr unsigned long CAM_IOC_EXTERN_ATTACH = 0x800c2a8bUL;
inline constexpr unsigned long CAM_IOC_EXTERN_READ = 0x800c2a89UL;
inline constexpr unsigned long CAM_IOC_EXTERN_WRITE = 0x800c2a80UL;
