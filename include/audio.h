// Playback of the announcement clips: 16 kHz 16-bit samples from flash,
// scaled by the volume into two alternating 512-word buffers, moved by a
// DMA channel into the I2S state machine (state machine 0 of PIO0), with
// the amplifier enabled while a clip plays.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr unsigned AUDIO_DATA_PIN = 0;
constexpr unsigned AUDIO_BCLK_PIN = 1;   // LRCLK is the next pin
constexpr unsigned AUDIO_LRCLK_PIN = 2;
constexpr unsigned AUDIO_AMP_ENABLE_PIN = 3;  // high while a clip plays
constexpr uint32_t AUDIO_SAMPLE_RATE = 16000;
constexpr uint32_t AUDIO_PIO_CLOCK_HZ = AUDIO_SAMPLE_RATE * 32 * 2;  // 32 bits a frame, 2 cycles a bit
constexpr unsigned AUDIO_BUFFER_SAMPLES = 512;
constexpr float VOLUME_MAX = 0.37f;  // gain at volume 100; keeps the scaled samples within 16 bits
constexpr uint32_t AUDIO_LOOP_PAUSE_MS = 100;
constexpr unsigned AUDIO_I2S_BITS_LESS_TWO = 14;  // loaded into Y: bits per channel less two

// The clips: whole WAV files in flash, generated at build time from clips/*.wav.
extern const unsigned char sound_cabinet_is_unlocked[];
extern unsigned int sound_cabinet_is_unlocked_len;
extern const unsigned char sound_holding_message[];
extern unsigned int sound_holding_message_len;
extern const unsigned char sound_lockdown[];
extern unsigned int sound_lockdown_len;
extern const unsigned char sound_please_close[];
extern unsigned int sound_please_close_len;

void audio_init();
void audio_poll();

// The player's steps, called by audio_poll and the DMA_IRQ_0 handler
// (declared here for the tests).
void start_playback(const unsigned char *data, uint32_t length);
void parse_wav_header(const unsigned char *data, uint32_t length, const unsigned char **pcm_data,
                      uint32_t *pcm_length);
void prepare_audio_buffer(uint32_t *dest, const int16_t *src, uint32_t num_samples, uint16_t volume_256);
