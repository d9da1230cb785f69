#include "status.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "door.h"
#include "lights.h"
#include "settings.h"

status_t status;

namespace {

char buff[STATUS_INPUTS_BUFF_SIZE];

struct code_t {
    const char *text;
    uint8_t value;
};

constexpr code_t maglock_codes[] = {{"LON", MAGLOCK_ON}, {"LOF", MAGLOCK_OFF}};
constexpr code_t lights_codes[] = {
    {"OFF", CABINET_LIGHTS_OFF},    {"ALM", CABINET_LIGHTS_ALARM},  {"NOR", CABINET_LIGHTS_NORMAL},
    {"DMA", CABINET_LIGHTS_DEMO_A}, {"DMB", CABINET_LIGHTS_DEMO_B}, {"DMC", CABINET_LIGHTS_DEMO_C},
};
constexpr code_t audio_codes[] = {
    {"OFF", AUDIO_OFF},    {"PO1", AUDIO_ONCE_1}, {"PO2", AUDIO_ONCE_2},
    {"PO3", AUDIO_ONCE_3}, {"PO4", AUDIO_ONCE_4}, {"PL1", AUDIO_LOOP_1},
    {"PL2", AUDIO_LOOP_2}, {"PL3", AUDIO_LOOP_3}, {"PL4", AUDIO_LOOP_4},
};
constexpr code_t fob_config_codes[] = {
    {"FCN", FOB_CONFIG_NONE}, {"FCC", FOB_CONFIG_CLEAR}, {"FCP", FOB_CONFIG_PAIR}};

// Maps the three characters at `field` to a code's value; anything else
// selects the fallback, never the previous value.
template <size_t N>
uint8_t decode(const char *field, const code_t (&codes)[N], uint8_t fallback) {
    for (const code_t &code : codes) {
        if (strncmp(field, code.text, 3) == 0) return code.value;
    }
    return fallback;
}

// Texts indexed by enumeration value; a value outside the table prints nothing.
constexpr const char *door_texts[] = {"Door: OPEN   ", "Door: CLOSED   "};
constexpr const char *fob_texts[] = {"Fob: NONE   ", "Fob: LOCKDOWN   ", "Fob: UNLOCK   "};
constexpr const char *maglock_texts[] = {"Lock: LOCKED   ", "Lock: UNLOCKED   "};
constexpr const char *lights_texts[] = {"Lights: OFF   ",    "Lights: ALARM   ",  "Lights: NORMAL   ",
                                        "Lights: DEMO A   ", "Lights: DEMO B   ", "Lights: DEMO C   "};
constexpr const char *audio_texts[] = {
    "Audio: OFF   ",    "Audio: Play 1   ", "Audio: Play 2   ", "Audio: Play 3   ", "Audio: Play 4   ",
    "Audio: Loop 1   ", "Audio: Loop 2   ", "Audio: Loop 3   ", "Audio: Loop 4   "};
constexpr const char *fob_config_texts[] = {"Fob config: none   ", "Fob config: clear   ",
                                            "Fob config: pair   "};
constexpr const char *door_codes[] = {"DOP", "DCL"};
constexpr const char *fob_codes[] = {"OOO", "FLO", "FUN"};

template <size_t N>
const char *text_of(const char *const (&texts)[N], uint8_t value) {
    return value < N ? texts[value] : "";
}

}  // namespace

void status_init() {
    memset(&status, 0, sizeof status);
    status.out.lights = CABINET_LIGHTS_NORMAL;
}

void status_load_outputs(const char *data) {
    if (strlen(data) != STATUS_PAYLOAD_LEN) return;
    bool changed = false;

    const auto maglock = static_cast<status_maglock_t>(decode(data + 0, maglock_codes, MAGLOCK_ON));
    if (maglock != status.out.maglock) {
        status.out.maglock = maglock;
        door_update_maglock();
        changed = true;
    }

    const auto lights =
        static_cast<status_cabinet_lights_t>(decode(data + 3, lights_codes, CABINET_LIGHTS_OFF));
    if (lights != status.out.lights) {
        status.out.lights = lights;
        changed = true;
        lights_update();
    }

    const auto audio = static_cast<status_audio_t>(decode(data + 6, audio_codes, AUDIO_OFF));
    if (audio != status.out.audio) {
        status.out.audio = audio;
        changed = true;
    }

    // Position 9 is not examined. The volume keeps only the low 8 bits of
    // whatever number stands there; a change of volume alone is not reported.
    status.out.volume = static_cast<uint8_t>(atoi(data + 10));

    const auto fob_config =
        static_cast<status_fob_config_t>(decode(data + 13, fob_config_codes, FOB_CONFIG_NONE));
    if (fob_config != status.out.fob_config) {
        status.out.fob_config = fob_config;
        changed = true;
        // Once per transition into clear mode (the store rate-limits it too).
        if (fob_config == FOB_CONFIG_CLEAR) settings_fobs_clear();
    }

    if (changed) status_dump();
}

const char *status_get_inputs_string() {
    buff[0] = '\0';
    strcat(buff, text_of(door_codes, status.in.door));
    strcat(buff, text_of(fob_codes, status.in.fob));
    char piece[16];
    sprintf(piece, "F%02x", status.in.total_fobs);
    strcat(buff, piece);
    sprintf(piece, "V%02X%02X", STATUS_VERSION_MAJOR, STATUS_VERSION_MINOR);
    strcat(buff, piece);
    return buff;
}

void status_dump() {
    printf("%s", text_of(door_texts, status.in.door));
    printf("%s", text_of(fob_texts, status.in.fob));
    printf("%s", text_of(maglock_texts, status.out.maglock));
    printf("%s", text_of(lights_texts, status.out.lights));
    printf("%s", text_of(audio_texts, status.out.audio));
    printf("Volume: %3d%%   ", status.out.volume);
    printf("%s", text_of(fob_config_texts, status.out.fob_config));
    puts("\r");
}
