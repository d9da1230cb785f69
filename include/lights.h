// The cabinet's two WS2815 LED strips: the light mode commanded in
// status.out.lights, shown as a steady colour or a demonstration animation.
#pragma once

#include <cstdint>

constexpr unsigned LIGHTS_STRIP1_PIN = 28;
constexpr unsigned LIGHTS_STRIP2_PIN = 29;
// Pixels written by a uniform colour, and by a comet step.
constexpr unsigned LIGHTS_FILL_PIXELS = 200;
constexpr unsigned LIGHTS_COMET_PIXELS = 120;
constexpr uint32_t LIGHTS_BIT_RATE = 800000;  // bits per second on each strip
constexpr uint32_t LIGHTS_STEP_DELAY_MS = 2;  // between demonstration steps

// Pixel words: green in bits 31-24, red 23-16, blue 15-8.
constexpr uint32_t LIGHTS_COLOUR_OFF = 0x00000000;
constexpr uint32_t LIGHTS_COLOUR_ALARM = 0x0000FF00;   // blue
constexpr uint32_t LIGHTS_COLOUR_NORMAL = 0xFFFF8000;  // warm white

void lights_init();
// Shows the mode now held in status.out.lights.
void lights_update();
// Draws the next demonstration step when one is due.
void lights_poll();
// One step of the comet (DEMO B and DEMO C).
void lights_poll_comet();
