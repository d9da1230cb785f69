// TinyUSB on the simulated board: the board's own configuration, without the
// SDK's OS layer. TinyUSB then guards its event queue by masking the USB
// controller interrupt (dcd_int_disable), which the simulated controller
// provides like the board's.
#pragma once

#define CFG_TUSB_MCU OPT_MCU_RP2040
#define CFG_TUSB_OS OPT_OS_NONE

#include "../../rp2040/tusb_config.h"
