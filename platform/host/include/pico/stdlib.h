// Simulated board: the SDK's common header.
#pragma once

#include <stdio.h>

#include "hardware/gpio.h"
#include "hardware/uart.h"
#include "pico/platform.h"
#include "pico/stdio.h"
#include "pico/time.h"
#include "pico/types.h"
