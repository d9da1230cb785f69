// The cabinet status record shared by all modules, the parser of the screen
// unit's status payload and the builder of the board's input report.
#pragma once

#include <cstdint>

enum status_cabinet_door_t : uint8_t {
    CABINET_DOOR_OPEN = 0,
    CABINET_DOOR_CLOSED = 1,
};

// These values travel in the radio status broadcast: never renumber them.
enum status_fob_t : uint8_t {
    FOB_NONE = 0,
    FOB_LOCKDOWN = 1,
    FOB_UNLOCK = 2,
};

enum status_maglock_t : uint8_t {
    MAGLOCK_ON = 0,   // lock energised: locked
    MAGLOCK_OFF = 1,  // released: unlocked
};

enum status_cabinet_lights_t : uint8_t {
    CABINET_LIGHTS_OFF = 0,
    CABINET_LIGHTS_ALARM = 1,
    CABINET_LIGHTS_NORMAL = 2,
    CABINET_LIGHTS_DEMO_A = 3,
    CABINET_LIGHTS_DEMO_B = 4,
    CABINET_LIGHTS_DEMO_C = 5,
};

enum status_audio_t : uint8_t {
    AUDIO_OFF = 0,
    AUDIO_ONCE_1 = 1,
    AUDIO_ONCE_2 = 2,
    AUDIO_ONCE_3 = 3,
    AUDIO_ONCE_4 = 4,
    AUDIO_LOOP_1 = 5,
    AUDIO_LOOP_2 = 6,
    AUDIO_LOOP_3 = 7,
    AUDIO_LOOP_4 = 8,
};

enum status_fob_config_t : uint8_t {
    FOB_CONFIG_NONE = 0,
    FOB_CONFIG_CLEAR = 1,
    FOB_CONFIG_PAIR = 2,
};

struct status_t {
    struct {
        status_cabinet_door_t door;
        status_fob_t fob;
        uint8_t total_fobs;
    } in;
    struct {
        status_maglock_t maglock;
        status_cabinet_lights_t lights;
        status_audio_t audio;
        uint8_t volume;  // percent, 0 to 100
        status_fob_config_t fob_config;
    } out;
};
static_assert(sizeof(status_t) == 8, "status_t is eight one-byte fields");

// Length of a status payload from the screen unit.
constexpr unsigned STATUS_PAYLOAD_LEN = 16;
// Size of the buffer the input report is built in.
constexpr unsigned STATUS_INPUTS_BUFF_SIZE = 100;
// Firmware version carried in every input report.
constexpr unsigned STATUS_VERSION_MAJOR = 1;
constexpr unsigned STATUS_VERSION_MINOR = 11;

extern status_t status;

void status_init();
void status_load_outputs(const char *data);
const char *status_get_inputs_string();
void status_dump();
