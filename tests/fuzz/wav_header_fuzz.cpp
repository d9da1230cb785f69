// A clip of any content as the player finds it in flash: the samples the WAV
// header names must lie inside the clip and start on an even address, and a
// clip without a header is played whole. (Playing a clip costs a simulated
// I2S frame per sample; the playback path is the unit tests' part.)
//
// Input: the clip. It lies 4-byte aligned, as the build places every clip.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "audio.h"
#include "fuzz_board.h"

namespace {

constexpr size_t kMaxClip = 65536;

alignas(4) unsigned char flash_copy[kMaxClip];

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > kMaxClip) return 0;
    unsigned char *clip = flash_copy;
    const auto length = static_cast<uint32_t>(size);
    memcpy(clip, data, length);

    const unsigned char *pcm = nullptr;
    uint32_t pcm_length = UINT32_MAX;
    parse_wav_header(clip, length, &pcm, &pcm_length);
    if (pcm < clip || pcm > clip + length || pcm_length > length - static_cast<uint32_t>(pcm - clip)) {
        fuzz::finding("the samples reach outside the clip");
    }
    if (pcm_length > 0 && reinterpret_cast<uintptr_t>(pcm) % sizeof(int16_t) != 0) {
        fuzz::finding("samples at an odd address");
    }
    const bool riff = length >= 4 && memcmp(clip, "RIFF", 4) == 0;
    if (!riff && (pcm != clip || pcm_length != length)) fuzz::finding("a clip without a header was cut");
    return 0;
}
