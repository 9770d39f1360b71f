// Inside of the register layer: the part of initialisation that a hot-plug restore repeats.
#pragma once

#include "reg_unit.h"

// PLL, serialiser and interrupt-enable set-up for the unit's video format and pixel rate.
hdtx_err reg_configure(hdtx_reg_unit *u);

// The PLL tables for a format class and pixel rate (HDTX_REG_ERR_RANGE for a rate the class
// cannot take).
hdtx_err reg_set_pll(hdtx_reg_unit *u, unsigned format, unsigned pixel_rate);
