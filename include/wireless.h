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
// The broadcast period of boards that keep to the plain rules (a broadcast
// every 5 s, the state of a peer whose event is newer by the margin taken up
// as an event of their own). This board talks with them as they expect.
constexpr uint32_t WIRELESS_STATUS_PERIOD_MS = 5000;
constexpr uint32_t WIRELESS_TOGGLE_HOLD_OFF_MS = 7000;
constexpr uint32_t WIRELESS_UNLOCK_FALL_BACK_MS = 2000;
// A plain peer's fob event must be more recent than ours by more than this to be adopted.
constexpr uint32_t WIRELESS_ADOPT_MARGIN_MS = 10000;
// A board follows later fob events of the plain peer whose state it adopted,
// even when they are not newer than its own by the margin. That peer's event
// time (receive time less its age) varies from message to message by the
// delivery's jitter (the receiving loop's longest step, about 120 ms, and
// the ages' truncation): later by more than this, it is a new event. Two
// events of one board lie 500 ms apart at least.
constexpr uint32_t WIRELESS_FOLLOW_TOLERANCE_MS = 250;
// The age of a board that knows no fob event (its start is none): older than
// any event, so that a restarted cabinet does not cancel its peers' lockdown,
// and it takes the state of the first peer it hears that knows one.
constexpr uint32_t WIRELESS_AGE_NO_EVENT = 0xFFFFFFFF;
// Ages of known events stop here (49.7 days), below "no event".
constexpr uint32_t WIRELESS_AGE_MAX = WIRELESS_AGE_NO_EVENT - 1;

// The event's identity, carried where a plain board neither reads nor acts on
// it. Such a board takes the kind (byte 12), the state (13) and the age (16
// to 19); bytes 14 and 15 only show in its "MSG FROM" line (the low half of
// the number printed there), and bytes 20 to 31 it does not look at. So the
// identity lies in 20 to 25, and 14 and 15 name a relay's source only:
//   20..23  event counter, big-endian: fleet-wide, a new event takes the
//           highest this board knows + 1; never 0, so that a non-zero counter
//           says the identity is there
//   24..25  origin tag, big-endian, from the unique ID of the board that made the event
//   26..29  boot epoch, big-endian: the sender's start, from its flash, never 0
//   30..31  sequence, big-endian: the sender's broadcasts in this epoch, from 1
//   14..15  in a relay, big-endian, the origin tag of the board it was taken
//           from (its sender's "MSG FROM" number changes there, nothing
//           else); zero in every other message
// A board that knows no event sends none: its message is the plain one with
// the age "no event", which every board reads as a question.
// An event is the (counter, origin, state) triple: a higher one is newer,
// an equal one the same event. The state only breaks the tie of two boards
// whose origin tags happen to be equal.
constexpr size_t WIRELESS_STATUS_RELAYED_FROM_AT = 14;
constexpr size_t WIRELESS_STATUS_COUNTER_AT = 20;
constexpr size_t WIRELESS_STATUS_ORIGIN_AT = 24;
// The message's freshness, (epoch, sequence), rises with every broadcast of a
// board, across its restarts: a peer takes a status message only when it is
// above the last one it heard from that board, so a recording played back
// later is dropped. Under the MAC, so that it cannot be changed or stripped.
// Every message of this board carries it, the questions of a board that knows
// no event included. When the sequence runs out (a broadcast a second for 18
// hours), the board takes the next epoch, written to flash before it is used.
constexpr size_t WIRELESS_STATUS_EPOCH_AT = 26;
constexpr size_t WIRELESS_STATUS_SEQUENCE_AT = 30;
constexpr uint32_t WIRELESS_SEQUENCE_MAX = 0xFFFF;
static_assert(WIRELESS_STATUS_ORIGIN_AT + 2 == WIRELESS_STATUS_EPOCH_AT, "the epoch follows the origin");
static_assert(WIRELESS_STATUS_EPOCH_AT + 4 == WIRELESS_STATUS_SEQUENCE_AT, "the sequence follows the epoch");
static_assert(WIRELESS_STATUS_SEQUENCE_AT + 2 == WIRELESS_BODY_SIZE, "the sequence ends the body");

// Time a 48-byte message spends on the air: LoRa at the 2.4 kbit/s the module
// is set to (SF9, 125 kHz, coding rate 4/5, 8-symbol preamble, header, CRC).
constexpr uint32_t WIRELESS_STATUS_AIR_MS = 308;
// From the sender's age stamp to the receiver's check: 48 bytes at 9600 baud
// into the sender's module (50 ms), the air, and 48 bytes out of the
// receiver's. An adopted event's time is the receive time less the age and
// this, so that a board's age keeps counting from the event itself and an
// echo never looks newer than the event it repeats.
constexpr uint32_t WIRELESS_STATUS_TRANSIT_MS = 50 + WIRELESS_STATUS_AIR_MS + 50;
// Random broadcast times fall on slots of this length, counted from the
// moment that prompted them: a broadcast started in one slot has reached the
// other boards before the next slot begins, with room for their clocks and
// loops to differ. Boards prompted by one packet or one press then meet on the
// air only when they draw the same slot, and the next slots hear the first.
constexpr uint32_t WIRELESS_SLOT_MS = WIRELESS_STATUS_TRANSIT_MS + 42;
// Slots counted from a press or a packet heard begin this much later: the
// event they bring is saved to flash first (about 60 ms), and a broadcast
// due in that time would go out late, off the grid.
constexpr uint32_t WIRELESS_SLOT_LEAD_MS = 100;

// Broadcasts follow Trickle (RFC 6206) with a redundancy of 1: in each
// interval a board tells its event at a random time in the second half,
// unless it has already heard a peer tell the same event in it. A fleet that
// agrees sends about one message per longest interval, whatever its size.
// A few short intervals come after the start and after this board's own
// event, then the longest: a minute, as most of the air stays free for fobs.
// Any interval between would fall where the next presses come, telling news
// the fleet already holds.
constexpr uint32_t WIRELESS_TRICKLE_MIN_MS = 1000;  // the start's first
constexpr uint32_t WIRELESS_TRICKLE_MAX_MS = 64000;
// The interval after this board's own event: its second broadcast, unless a
// peer has told the event back by then.
constexpr uint32_t WIRELESS_TRICKLE_QUICK_MS = 2000;
static_assert(WIRELESS_TRICKLE_QUICK_MS >= WIRELESS_TRICKLE_MIN_MS && WIRELESS_TRICKLE_QUICK_MS < WIRELESS_TRICKLE_MAX_MS,
              "a few short intervals, then the longest");
// A board that knows no event asks in its first interval and again in one of
// this length, then in the longest: boards started together that ask at
// once never hear each other, and doubling intervals would fill the air
// with their questions for a minute.
constexpr uint32_t WIRELESS_TRICKLE_ASK_MS = 2000;
// The one further try of this board's own event that no peer has told back,
// in any slot of an interval of this length: boards that toggled on one press
// and drowned each other spread out over 36 slots, and the first heard
// silences the rest. A shorter one puts the tries where the next presses come.
constexpr uint32_t WIRELESS_TRICKLE_RETRY_MS = 16000;
static_assert(WIRELESS_TRICKLE_MIN_MS < WIRELESS_TRICKLE_ASK_MS && WIRELESS_TRICKLE_ASK_MS < WIRELESS_TRICKLE_MAX_MS &&
                  WIRELESS_TRICKLE_QUICK_MS < WIRELESS_TRICKLE_RETRY_MS && WIRELESS_TRICKLE_RETRY_MS < WIRELESS_TRICKLE_MAX_MS,
              "the start's and an event's short intervals, then the longest");
constexpr unsigned WIRELESS_TRICKLE_REDUNDANCY = 1;
// This board's own event (toggle, fall-back) goes out at once or a slot later
// (the slots starting below this), then again in a first interval of the
// quick length, which starts when the first is sent: the peers' relays mostly
// come before its second half, so that the board hears one and need not
// speak again. Boards that toggled on one press meet in both with odds of
// one in two and one in three.
constexpr uint32_t WIRELESS_EVENT_SPREAD_MS = 500;
static_assert(WIRELESS_TRICKLE_QUICK_MS / 2 > WIRELESS_STATUS_TRANSIT_MS, "the second after the first is through");
static_assert(WIRELESS_SLOT_LEAD_MS + WIRELESS_EVENT_SPREAD_MS / WIRELESS_SLOT_MS * WIRELESS_SLOT_MS + WIRELESS_SLOT_MS +
                      WIRELESS_STATUS_TRANSIT_MS <
                  WIRELESS_UNLOCK_FALL_BACK_MS,
              "the unlock is through the air before it falls back, from its last slot too");
// A board that takes a newer event up relays it once, and one that hears old
// news or a question answers once, in a random slot of a window that grows
// with the peers it hears (twice as many for the next hour, each time a later
// relay shows that its own met others on the air: boards started together
// hear few of each other; one fewer each time another's relay came first):
// two air times a peer, so that the first of all
// the boards that heard one packet is usually heard by the rest before they
// speak. Bounded below by two air times, above by the size of the table.
// A board that missed the fleet's last events (it restarted and nobody has
// answered yet, or their broadcasts were lost to it) makes its next own event
// from a stale counter. Told by the board that made it, an event whose age is
// below ours by more than this is a fresh press, not old news: it is taken up
// under the next counter we would use, so that the press holds everywhere. The
// margin covers the ages' error: the transit estimate and the clocks' drift.
constexpr uint32_t WIRELESS_FRESH_EVENT_MARGIN_MS = 2000;
constexpr uint32_t WIRELESS_ANSWER_PER_PEER_MS = 2 * WIRELESS_STATUS_AIR_MS;
constexpr uint32_t WIRELESS_ANSWER_MIN_MS = 2 * WIRELESS_STATUS_AIR_MS;
constexpr uint32_t WIRELESS_ANSWER_MAX_MS = 40000;
// The peers heard: a fixed table, the least recently heard replaced when it is
// full. In an agreeing fleet a board may speak once in many longest
// intervals, so a peer is forgotten only after an hour unheard.
constexpr unsigned WIRELESS_PEERS_MAX = 64;
constexpr uint32_t WIRELESS_PEER_FORGET_MS = 3600000;
static_assert(WIRELESS_PEERS_MAX * WIRELESS_ANSWER_PER_PEER_MS <= WIRELESS_ANSWER_MAX_MS,
              "a full table still answers inside the longest window");

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
