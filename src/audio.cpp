#include "audio.h"

#include <cstdio>
#include <cstring>

#include "crc16.h"
#include "hardware/clocks.h"
#include "hardware/dma.h"
#include "hardware/gpio.h"
#include "hardware/irq.h"
#include "hardware/pio.h"
#include "pico/stdlib.h"
#include "pio_i2s_out.pio.h"
#include "status.h"

namespace {

enum audio_playback_state_t : uint8_t {
    AUDIO_STATE_IDLE = 0,       // nothing playing, state machine stopped, amplifier off
    AUDIO_STATE_PLAYING = 1,    // clip samples are being fed
    AUDIO_STATE_FINISHING = 2,  // the last chunk is with the state machine; the loop winds down
};

struct clip_t {
    const char *line;
    const unsigned char *data;
    const unsigned int *length;
};

// Clips by audio value: 1 to 4 once, 5 to 8 looped.
constexpr unsigned AUDIO_CLIPS = 4;
const clip_t clips[AUDIO_CLIPS] = {
    {"Play: sound_cabinet_is_unlocked\r", sound_cabinet_is_unlocked, &sound_cabinet_is_unlocked_len},
    {"Play: sound_holding_message\r", sound_holding_message, &sound_holding_message_len},
    {"Play: sound_lockdown\r", sound_lockdown, &sound_lockdown_len},
    {"Play: sound_please_close\r", sound_please_close, &sound_please_close_len},
};

constexpr unsigned char RIFF_ID[4] = {'R', 'I', 'F', 'F'};
constexpr unsigned char DATA_ID[4] = {'d', 'a', 't', 'a'};
constexpr uint32_t WAV_FIRST_CHUNK = 12;  // after "RIFF", the size and "WAVE"
constexpr uint32_t WAV_CHUNK_HEADER = 8;  // identifier and size

// Shared with the interrupt handler.
volatile audio_playback_state_t playback_state = AUDIO_STATE_IDLE;
volatile uint32_t samples_played = 0;
volatile bool using_buffer_a = true;
const int16_t *audio_source = nullptr;
uint32_t total_samples = 0;
uint16_t volume_256 = 0;

status_audio_t current_state = AUDIO_OFF;
uint32_t audio_buffer_a[AUDIO_BUFFER_SAMPLES];
uint32_t audio_buffer_b[AUDIO_BUFFER_SAMPLES];

PIO pio_i2s = pio0;
uint sm_i2s = 0;  // claimed by audio_init; the strips, started first, claim theirs in PIO1
uint offset_i2s = 0;
int dma_chan = -1;
dma_channel_config dma_config;

bool audio_is_loop(status_audio_t audio) {
    return audio >= AUDIO_LOOP_1 && audio <= AUDIO_LOOP_4;
}

// Refills the other buffer with the next chunk and restarts the channel
// while the state machine plays the frames still in its FIFO (0.5 ms).
void __not_in_flash_func(dma_irq_handler)() {
    const uint chan = static_cast<uint>(dma_chan);
    if (!dma_channel_get_irq0_status(chan)) return;
    dma_channel_acknowledge_irq0(chan);
    if (playback_state != AUDIO_STATE_PLAYING) return;

    const uint32_t played = samples_played;
    if (played < total_samples) {
        const uint32_t left = total_samples - played;
        const uint32_t chunk = left < AUDIO_BUFFER_SAMPLES ? left : AUDIO_BUFFER_SAMPLES;
        uint32_t *const next = using_buffer_a ? audio_buffer_b : audio_buffer_a;
        using_buffer_a = !using_buffer_a;
        prepare_audio_buffer(next, audio_source + played, chunk, volume_256);
        dma_channel_set_read_addr(chan, next, false);
        dma_channel_set_trans_count(chan, chunk, true);
        samples_played = played + chunk;
    } else {
        playback_state = AUDIO_STATE_FINISHING;
    }
}

// Starts the clip the audio field names; nothing for 0 or a value above 8.
void audio_play_file() {
    const uint8_t audio = status.out.audio;
    if (audio < AUDIO_ONCE_1 || audio > AUDIO_LOOP_4) return;
    const clip_t &clip = clips[(audio - AUDIO_ONCE_1) % AUDIO_CLIPS];
    puts(clip.line);
    start_playback(clip.data, *clip.length);
}

// Sends 32 ms of silence, then stops the output and the amplifier.
void audio_wind_down() {
    memset(audio_buffer_a, 0, sizeof audio_buffer_a);
    dma_channel_configure(static_cast<uint>(dma_chan), &dma_config, &pio_i2s->txf[sm_i2s], audio_buffer_a,
                          AUDIO_BUFFER_SAMPLES, true);
    dma_channel_wait_for_finish_blocking(static_cast<uint>(dma_chan));
    pio_sm_set_enabled(pio_i2s, sm_i2s, false);
    gpio_put(AUDIO_AMP_ENABLE_PIN, false);
}

}  // namespace

void __not_in_flash_func(prepare_audio_buffer)(uint32_t *dest, const int16_t *src, uint32_t num_samples,
                                               uint16_t volume_256) {
    const int32_t gain = volume_256;
    for (uint32_t i = 0; i < num_samples; i++) {
        // Arithmetic shift: negative values round towards minus infinity.
        const auto s = static_cast<uint16_t>((src[i] * gain) >> 8);
        dest[i] = (uint32_t{s} << 16) | s;
    }
}

// The samples of a clip: after the first "data" chunk header from byte 12
// on, when the clip starts with "RIFF"; else the whole clip. A chunk header
// at the very end is an empty chunk; the length never reaches past the
// clip; and sample data that does not start on an even address (it is read
// in place as 16-bit values) is taken as empty.
void parse_wav_header(const unsigned char *data, uint32_t length, const unsigned char **pcm_data,
                      uint32_t *pcm_length) {
    *pcm_data = data;
    *pcm_length = length;
    if (length < sizeof RIFF_ID || memcmp(data, RIFF_ID, sizeof RIFF_ID) != 0) return;
    for (uint32_t i = WAV_FIRST_CHUNK; i + WAV_CHUNK_HEADER <= length; i++) {
        if (memcmp(data + i, DATA_ID, sizeof DATA_ID) != 0) continue;
        const uint32_t start = i + WAV_CHUNK_HEADER;
        const uint32_t held = length - start;
        const uint32_t declared = crc_load_le32(data + i + sizeof DATA_ID);
        *pcm_data = data + start;
        *pcm_length = declared < held ? declared : held;
        if (reinterpret_cast<uintptr_t>(*pcm_data) % sizeof(int16_t) != 0) *pcm_length = 0;
        return;
    }
}

void start_playback(const unsigned char *data, uint32_t length) {
    const float v = (status.out.volume / 100.0f) * VOLUME_MAX;
    volume_256 = static_cast<uint16_t>(static_cast<uint32_t>(v * 256.0f));

    const unsigned char *pcm_data = nullptr;
    uint32_t pcm_length = 0;
    parse_wav_header(data, length, &pcm_data, &pcm_length);
    audio_source = reinterpret_cast<const int16_t *>(pcm_data);
    total_samples = pcm_length / sizeof(int16_t);
    samples_played = 0;
    using_buffer_a = true;

    const uint32_t first = total_samples < AUDIO_BUFFER_SAMPLES ? total_samples : AUDIO_BUFFER_SAMPLES;
    prepare_audio_buffer(audio_buffer_a, audio_source, first, volume_256);
    samples_played = first;

    pio_sm_exec(pio_i2s, sm_i2s, pio_encode_set(pio_y, AUDIO_I2S_BITS_LESS_TWO));
    pio_sm_set_enabled(pio_i2s, sm_i2s, true);
    gpio_put(AUDIO_AMP_ENABLE_PIN, true);
    if (first > 0) {
        // PLAYING before the channel starts, so that its first completion finds it.
        playback_state = AUDIO_STATE_PLAYING;
        dma_channel_configure(static_cast<uint>(dma_chan), &dma_config, &pio_i2s->txf[sm_i2s], audio_buffer_a,
                              first, true);
    } else {
        // No samples: a transfer of none would never complete; the clip ends
        // at once with its silence.
        playback_state = AUDIO_STATE_FINISHING;
    }
    printf("Starting playback: %lu samples, volume: %u/256\r\n", static_cast<unsigned long>(total_samples),
           static_cast<unsigned>(volume_256));
}

void audio_init() {
    puts("Initialise audio\r");
    gpio_init(AUDIO_AMP_ENABLE_PIN);
    gpio_set_dir(AUDIO_AMP_ENABLE_PIN, GPIO_OUT);
    gpio_put(AUDIO_AMP_ENABLE_PIN, false);
    playback_state = AUDIO_STATE_IDLE;
    current_state = AUDIO_OFF;

    pio_sm_claim(pio_i2s, sm_i2s);
    offset_i2s = static_cast<uint>(pio_add_program(pio_i2s, &pio_i2s_out_program));
    gpio_set_function(AUDIO_DATA_PIN, GPIO_FUNC_PIO0);
    gpio_set_function(AUDIO_BCLK_PIN, GPIO_FUNC_PIO0);
    gpio_set_function(AUDIO_LRCLK_PIN, GPIO_FUNC_PIO0);
    pio_sm_set_consecutive_pindirs(pio_i2s, sm_i2s, AUDIO_DATA_PIN, 1, true);
    pio_sm_set_consecutive_pindirs(pio_i2s, sm_i2s, AUDIO_BCLK_PIN, 2, true);
    pio_sm_config c = pio_i2s_out_program_get_default_config(offset_i2s);
    sm_config_set_out_pins(&c, AUDIO_DATA_PIN, 1);
    sm_config_set_sideset_pins(&c, AUDIO_BCLK_PIN);
    sm_config_set_out_shift(&c, false, true, 32);
    sm_config_set_fifo_join(&c, PIO_FIFO_JOIN_TX);
    sm_config_set_clkdiv(&c, static_cast<float>(clock_get_hz(clk_sys)) / AUDIO_PIO_CLOCK_HZ);
    // Left disabled until a clip starts.
    pio_sm_init(pio_i2s, sm_i2s, offset_i2s, &c);

    dma_chan = dma_claim_unused_channel(true);
    dma_config = dma_channel_get_default_config(static_cast<uint>(dma_chan));
    channel_config_set_dreq(&dma_config, pio_get_dreq(pio_i2s, sm_i2s, true));
    dma_channel_set_irq0_enabled(static_cast<uint>(dma_chan), true);
    irq_set_exclusive_handler(DMA_IRQ_0, dma_irq_handler);
    irq_set_enabled(DMA_IRQ_0, true);
    puts("Audio init complete (interrupt-driven DMA)\r");
}

void audio_poll() {
    if (status.out.audio != current_state && playback_state == AUDIO_STATE_IDLE) {
        current_state = status.out.audio;
        if (current_state != AUDIO_OFF) audio_play_file();
    }

    if (playback_state != AUDIO_STATE_FINISHING || dma_channel_is_busy(static_cast<uint>(dma_chan))) return;
    // The completion of the silence finds FINISHING and refills nothing.
    audio_wind_down();
    if (audio_is_loop(current_state)) {
        puts("Looping...\r");
        playback_state = AUDIO_STATE_IDLE;
        sleep_ms(AUDIO_LOOP_PAUSE_MS);
        // The field as it is now: another clip, or nothing if it was turned off.
        audio_play_file();
    } else {
        playback_state = AUDIO_STATE_IDLE;
        current_state = AUDIO_OFF;
        status.out.audio = AUDIO_OFF;
        puts("Playback complete\r");
    }
}
