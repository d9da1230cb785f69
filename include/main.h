// Start-up and the cooperative main loop.
#pragma once

#include <cstdint>

constexpr uint32_t MAIN_SYS_CLOCK_KHZ = 132000;
constexpr uint32_t MAIN_WATCHDOG_TICK_CYCLES = 12;  // 1 µs from the 12 MHz reference
constexpr uint32_t MAIN_WATCHDOG_TIMEOUT_MS = 1000;
constexpr uint32_t MAIN_STACK_PAINT = 0xDEADBEEF;
constexpr uintptr_t MAIN_STACK_GAP = 256;  // bytes left unpainted below the live stack
