#include "lights.h"

#include "hardware/clocks.h"
#include "hardware/gpio.h"
#include "hardware/pio.h"
#include "pico/stdlib.h"
#include "status.h"
#include "ws2815.pio.h"

namespace {

constexpr uint32_t freq = LIGHTS_BIT_RATE;
constexpr unsigned cycles_per_bit = ws2815_T1 + ws2815_T2 + ws2815_T3;
static_assert(cycles_per_bit == 10, "a WS2815 bit is 10 PIO cycles");
constexpr bool rgbw = false;  // 24-bit pixels
constexpr unsigned LIGHTS_PIXEL_BITS = 24;
constexpr unsigned LIGHTS_FIFO_WORDS = 8;  // joined transmit FIFO

// A WS2815 takes a new frame once its line has been low for 280 µs. The
// puts of a frame return with up to a FIFO's worth of pixels, plus the one
// being shifted out, still to leave; the next frame waits until those are
// through and the strip has latched, so that it is never taken as the
// continuation of the last one.
constexpr uint32_t LIGHTS_LATCH_US = 300;
constexpr uint32_t LIGHTS_PIXEL_NS = LIGHTS_PIXEL_BITS * 1000000000ull / LIGHTS_BIT_RATE;  // 30 µs
constexpr uint32_t LIGHTS_FRAME_GAP_US = (LIGHTS_FIFO_WORDS + 1) * LIGHTS_PIXEL_NS / 1000 + LIGHTS_LATCH_US;

// The flash (DEMO A): square-law ramps from MIN_BRIGHTNESS up to
// MAX_BRIGHTNESS, a hold, the ramp down and a pause, in steps.
constexpr uint32_t MIN_BRIGHTNESS = 5;
constexpr uint32_t MAX_BRIGHTNESS = 255;
constexpr uint32_t RAMP_UP_TIME = 16;
constexpr uint32_t HOLD_TIME = 30;
constexpr uint32_t RAMP_DOWN_TIME = 16;
constexpr uint32_t OFF_TIME = 4;
constexpr uint32_t TOTAL_CYCLE = RAMP_UP_TIME + HOLD_TIME + RAMP_DOWN_TIME + OFF_TIME;
static_assert(TOTAL_CYCLE == 66, "a flash cycle is 66 steps");
static_assert(RAMP_UP_TIME * RAMP_UP_TIME == 256 && RAMP_DOWN_TIME == RAMP_UP_TIME,
              "the ramps divide by 16 squared with a shift by 8");

// The comet (DEMO B, DEMO C): a head and 50 tail pixels fading to 0.
constexpr int COMET_TAIL = 50;
constexpr int16_t COMET_LAST = LIGHTS_COMET_PIXELS - 1;

PIO pio_lights1 = nullptr;
uint sm_lights1 = 0;
uint offset1 = 0;
PIO pio_lights2 = nullptr;
uint sm_lights2 = 0;
uint offset2 = 0;

bool demo_mode = false;
absolute_time_t next_lights_update = {};
uint16_t counter = 0;
uint32_t led_c[LIGHTS_COMET_PIXELS];
bool comet_synced = true;
absolute_time_t frame_latched_at = {};

void ws2815_program_init(PIO pio, uint sm, uint offset, uint pin, float bit_rate, bool rgbw_pixels) {
    gpio_set_function(pin, static_cast<gpio_function_t>(pio_get_funcsel(pio)));
    pio_sm_set_consecutive_pindirs(pio, sm, pin, 1, true);
    pio_sm_config c = ws2815_program_get_default_config(offset);
    sm_config_set_sideset_pins(&c, pin);
    sm_config_set_out_shift(&c, false, true, rgbw_pixels ? 32 : LIGHTS_PIXEL_BITS);
    sm_config_set_fifo_join(&c, PIO_FIFO_JOIN_TX);
    sm_config_set_clkdiv(&c, static_cast<float>(clock_get_hz(clk_sys)) / (bit_rate * cycles_per_bit));
    pio_sm_init(pio, sm, offset, &c);
    pio_sm_set_enabled(pio, sm, true);
}

// Claims a state machine and loads the program for one strip; a strip whose
// claim failed is left alone (its handle stays null).
void lights_start_strip(PIO *pio, uint *sm, uint *offset, uint pin) {
    if (!pio_claim_free_sm_and_add_program_for_gpio_range(&ws2815_program, pio, sm, offset, pin, 1, true)) {
        *pio = nullptr;
        return;
    }
    ws2815_program_init(*pio, *sm, *offset, pin, static_cast<float>(freq), rgbw);
}

uint32_t lights_get_colour(uint8_t r, uint8_t g, uint8_t b) {
    return (uint32_t{g} << 24) | (uint32_t{r} << 16) | (uint32_t{b} << 8);
}

void lights_begin_frame() {
    const int64_t wait_us = absolute_time_diff_us(get_absolute_time(), frame_latched_at);
    if (wait_us > 0) sleep_us(static_cast<uint64_t>(wait_us));
}

void lights_end_frame() {
    frame_latched_at = make_timeout_time_us(LIGHTS_FRAME_GAP_US);
}

// One pixel to each strip, strip 1 first, so that both are fed in lock-step.
void lights_put(uint32_t strip1, uint32_t strip2) {
    if (pio_lights1 != nullptr) pio_sm_put_blocking(pio_lights1, sm_lights1, strip1);
    if (pio_lights2 != nullptr) pio_sm_put_blocking(pio_lights2, sm_lights2, strip2);
}

// Uniform fill of both strips.
void lights_set_colour(uint32_t col) {
    lights_begin_frame();
    for (unsigned i = 0; i < LIGHTS_FILL_PIXELS; i++) lights_put(col, col);
    lights_end_frame();
}

void lights_poll_flash() {
    const uint32_t c = counter;
    uint32_t intensity = MIN_BRIGHTNESS;
    constexpr uint32_t span = MAX_BRIGHTNESS - MIN_BRIGHTNESS;
    if (c < RAMP_UP_TIME) {
        intensity = ((c * c * span) >> 8) + MIN_BRIGHTNESS;
    } else if (c < RAMP_UP_TIME + HOLD_TIME) {
        intensity = MAX_BRIGHTNESS;
    } else if (c < RAMP_UP_TIME + HOLD_TIME + RAMP_DOWN_TIME) {
        const uint32_t down_counter = RAMP_UP_TIME + HOLD_TIME + RAMP_DOWN_TIME - c;
        intensity = ((down_counter * down_counter * span) >> 8) + MIN_BRIGHTNESS;
    }
    lights_set_colour(lights_get_colour(static_cast<uint8_t>(intensity), 0, 0));
    counter = static_cast<uint16_t>(c + 1 > TOTAL_CYCLE - 1 ? 0 : c + 1);
}

}  // namespace

void lights_init() {
    lights_start_strip(&pio_lights1, &sm_lights1, &offset1, LIGHTS_STRIP1_PIN);
    lights_start_strip(&pio_lights2, &sm_lights2, &offset2, LIGHTS_STRIP2_PIN);
    lights_set_colour(LIGHTS_COLOUR_NORMAL);
    next_lights_update = get_absolute_time();
    lights_update();
}

void lights_update() {
    demo_mode = false;
    switch (status.out.lights) {
        case CABINET_LIGHTS_OFF: lights_set_colour(LIGHTS_COLOUR_OFF); break;
        case CABINET_LIGHTS_ALARM: lights_set_colour(LIGHTS_COLOUR_ALARM); break;
        case CABINET_LIGHTS_NORMAL: lights_set_colour(LIGHTS_COLOUR_NORMAL); break;
        case CABINET_LIGHTS_DEMO_A:
        case CABINET_LIGHTS_DEMO_B:
        case CABINET_LIGHTS_DEMO_C:
            // The first step is drawn by the next lights_poll.
            demo_mode = true;
            next_lights_update = get_absolute_time();
            break;
        default: break;  // not a mode: the strips keep what they show
    }
}

void lights_poll() {
    if (!demo_mode || !time_reached(next_lights_update)) return;
    switch (status.out.lights) {
        case CABINET_LIGHTS_DEMO_B:
            comet_synced = true;
            lights_poll_comet();
            break;
        case CABINET_LIGHTS_DEMO_C:
            comet_synced = false;
            lights_poll_comet();
            break;
        case CABINET_LIGHTS_DEMO_A: lights_poll_flash(); break;
        default: break;
    }
    // Counted from the moment the step's last pixel entered the FIFO.
    next_lights_update = make_timeout_time_ms(LIGHTS_STEP_DELAY_MS);
}

void lights_poll_comet() {
    // The head's place and way, kept from step to step and across modes.
    static int16_t position = 0;
    static int8_t direction = 1;

    for (uint32_t &pixel : led_c) pixel = 0;
    for (int i = 0; i <= COMET_TAIL; i++) {
        const auto index = static_cast<int16_t>(position - i * direction);
        if (index < 0 || index > COMET_LAST) continue;  // the tail beyond either end is dropped
        const auto intensity = static_cast<uint8_t>(MAX_BRIGHTNESS - (i * MAX_BRIGHTNESS) / COMET_TAIL);
        led_c[index] = lights_get_colour(intensity, 0, 0);
    }

    const auto p = static_cast<int16_t>(position + direction);
    if (p >= COMET_LAST) {
        position = COMET_LAST;
        direction = -1;
    } else if (p <= 0) {
        position = 0;
        direction = 1;
    } else {
        position = p;
    }

    // Strip 2 shows the frame reversed when not synced, so its comet runs
    // the other way along it.
    lights_begin_frame();
    for (unsigned i = 0; i < LIGHTS_COMET_PIXELS; i++) {
        lights_put(led_c[i], led_c[comet_synced ? i : COMET_LAST - i]);
    }
    lights_end_frame();
}
