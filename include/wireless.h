// The LoRa radio link (an E220 module on UART0) and the authenticated radio
// messages: fob presses that toggle the fob event state, pairing, and the
// status broadcast that keeps neighbouring cabinets' boards in step.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr unsigned WIRELESS_TX_PIN = 16;   // UART0 transmit, to the module
constexpr unsigned WIRELESS_RX_PIN = 17;   // UART0 receive, from the module
constexpr unsigned WIRELESS_M1_PIN = 20;   // mode line M1: bit 1 of the mode
constexpr unsigned WIRELESS_M0_PIN = 21;   // mode line M0: bit 0 of the mode
constexpr unsigned WIRELESS_AUX_PIN = 22;  // the module's AUX line: pulled up, never read
constexpr uint32_t WIRELESS_BAUD = 9600;
// Each fixed wait of the module set-up (the AUX line is not consulted).
constexpr uint32_t WIRELESS_MODULE_WAIT_MS = 100;

constexpr unsigned WIRELESS_RX_BUFF_SIZE = 1024;
constexpr size_t WIRELESS_MSG_SIZE = 48;
constexpr size_t WIRELESS_BODY_SIZE = 32;
constexpr size_t WIRELESS_MAC_SIZE = 16;
constexpr size_t WIRELESS_KEY_SIZE = 32;
constexpr size_t WIRELESS_UNIQUE_ID_SIZE = 8;
constexpr size_t WIRELESS_CONFIG_FRAME_SIZE = 12;
static_assert(WIRELESS_BODY_SIZE + WIRELESS_MAC_SIZE == WIRELESS_MSG_SIZE, "a message is body and MAC");

constexpr uint32_t WIRELESS_STATUS_MARKER = 0xFEFFFEFF;  // first word of a status message (FF FE FF FE)
constexpr uint8_t WIRELESS_STATUS_KIND = 0x0A;
constexpr uint32_t WIRELESS_STATUS_PERIOD_MS = 5000;
constexpr uint32_t WIRELESS_TOGGLE_HOLD_OFF_MS = 7000;
constexpr uint32_t WIRELESS_UNLOCK_FALL_BACK_MS = 2000;
// A peer's fob event must be more recent than ours by more than this to be adopted.
constexpr uint32_t WIRELESS_ADOPT_MARGIN_MS = 10000;
// Every broadcast (the periodic ones and the one after a toggle or a
// fall-back) waits a further random time below this, so that boards that
// toggled on one press do not transmit together and their periods never lock.
// A message is on the air for about 300 ms: over 1500 ms, two boards' delays
// fall within one air time of each other with odds of 2*0.2 - 0.2^2 = 0.36;
// with fresh delays each period, two boards that toggled together collide at
// their first two broadcasts with odds of 0.12, at the first three 0.04.
constexpr uint32_t WIRELESS_STATUS_SPREAD_MS = 1500;
// The first broadcast after start waits a random part of a whole period more:
// boards powered up together, as after an outage, would otherwise broadcast
// within the spread of each other and drift apart only slowly, losing most
// of their broadcasts to each other for minutes. A board that has just
// started has no fob event to tell, so no news is held back.
constexpr uint32_t WIRELESS_FIRST_STATUS_SPREAD_MS = WIRELESS_STATUS_PERIOD_MS;
// The unlock is broadcast, and through the air, before it falls back.
static_assert(WIRELESS_STATUS_SPREAD_MS + 300 < WIRELESS_UNLOCK_FALL_BACK_MS, "unlock goes out before fall-back");
// A board follows later fob events of the peer whose state it adopted, even
// when they are not newer than its own by the margin. That peer's event time
// (receive time less its age) varies from message to message by the
// delivery's jitter (the receiving loop's longest step, about 120 ms, and
// the ages' truncation): later by more than this, it is a new event. Two
// events of one board lie 500 ms apart at least (a fall-back 2000 ms after
// its unlock, relayed with delays up to the spread).
constexpr uint32_t WIRELESS_FOLLOW_TOLERANCE_MS = 250;
// A board knows no fob event until its first toggle or adoption: its start is
// none. Its broadcasts carry this age, older than any event, so that a
// cabinet that restarts does not cancel its peers' lockdown (older boards
// never adopt an age not below their own); and it takes the state of the
// first peer it hears that knows one, so that it joins its peers' lockdown.
constexpr uint32_t WIRELESS_AGE_NO_EVENT = 0xFFFFFFFF;
// Accepted counter advance of a fob message over the stored counter: 1 to this.
constexpr uint32_t WIRELESS_MAX_COUNTER_ADVANCE = 199;

enum lora_e220_mode_t : uint8_t {
    LORA_E220_MODE_NORMAL = 0,
    LORA_E220_MODE_WOR = 1,
    LORA_E220_MODE_CONFIGURATION = 2,
    LORA_E220_MODE_SLEEP = 3,
};

void wireless_init();
void wireless_poll();
void wireless_broadcast_status();
void wireless_toggle();

// True in an image built with the public development keys.
bool wireless_development_keys();

// The messages' MAC: keyed BLAKE2b with a 16-byte digest over the 32-byte
// body. wireless_mac_key (run by wireless_init with the build's key) hashes
// the key block once; every wireless_mac starts from a copy of that state.
void wireless_mac_key(const uint8_t *key);
void wireless_mac(uint8_t *mac, const uint8_t *body);
// The 48-byte message's MAC matches its body (compared in constant time).
bool wireless_message_authentic(const uint8_t *msg);

void lora_e220_set_mode(lora_e220_mode_t mode);
void lora_e220_apply_settings();
// Copies the last n received bytes, oldest first, if at least n are unconsumed.
bool wireless_read_last_rx_bytes(uint8_t *dst, unsigned n);
