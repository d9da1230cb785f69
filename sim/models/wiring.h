// The board's wiring as the models and views see it: which GPIO carries what,
// which UART serves which line and at what rate. Every model and view takes
// its pins from here; wiring.cpp checks them against the firmware's own.
#pragma once

#include <cstdint>

namespace wiring {

// I2S to the amplifier, and its enable (high while a clip plays).
constexpr unsigned kI2sDataPin = 0;
constexpr unsigned kI2sClockPin = 1;
constexpr unsigned kI2sWordPin = 2;
constexpr unsigned kAmpPin = 3;

// The screen line: UART1, and the line driver's direction (both high while the board sends).
constexpr unsigned kScreenUart = 1;
constexpr unsigned kScreenTxPin = 8;
constexpr unsigned kScreenRxPin = 9;
constexpr unsigned kScreenDirPinA = 10;
constexpr unsigned kScreenDirPinB = 11;
constexpr uint32_t kScreenBaud = 115200;
constexpr uint32_t kScreenFastBaud = 921600;  // while a firmware image goes through

// The LoRa module: UART0, its mode lines and AUX.
constexpr unsigned kRadioUart = 0;
constexpr unsigned kRadioTxPin = 16;
constexpr unsigned kRadioRxPin = 17;
constexpr unsigned kRadioM1Pin = 20;
constexpr unsigned kRadioM0Pin = 21;
constexpr unsigned kRadioAuxPin = 22;
constexpr uint32_t kRadioBaud = 9600;

constexpr unsigned kMaglockPin = 24;
constexpr unsigned kDoorPin = 25;  // the door sensor: high while open

constexpr unsigned kStrips = 2;
constexpr unsigned kStripPins[kStrips] = {28, 29};

// A receiver reads a serial line whose rate is within this much of its own.
constexpr uint32_t kRateTolerancePercent = 3;

// Whether a line at `line` baud reads cleanly at `own` baud.
constexpr bool rates_match(uint32_t line, uint32_t own) {
    const uint32_t diff = line > own ? line - own : own - line;
    return uint64_t{diff} * 100 <= uint64_t{own} * kRateTolerancePercent;
}

}  // namespace wiring
