#include "wireless.h"

#include <cstdio>
#include <cstring>

#include "crc16.h"
#include "hardware/dma.h"
#include "hardware/flash.h"
#include "hardware/gpio.h"
#include "hardware/sync.h"
#include "hardware/uart.h"
#include "monocypher_keyed.h"
#include "pico/binary_info.h"
#include "pico/stdlib.h"
#include "settings.h"
#include "status.h"
#include "wireless_keys.h"

namespace {

// The one key of every radio message, in both directions; fixed at build
// time (see the radio key file) and kept in flash.
const uint8_t shared_secret[WIRELESS_KEY_SIZE] = {WIRELESS_SHARED_SECRET_BYTES};

// The module's register-write command in its temporary form: address 0xFFFF
// and the channel and rates every node of the cabinets uses, then the bytes
// that carry the module's air-encryption key (the last beyond the declared
// count of 8 registers). Always sent whole.
const uint8_t lora_e220_config_frame[] = {
    0xC2, 0x00, 0x08, 0xFF, 0xFF, 0x00, 0x62, 0x23, 0x0D, WIRELESS_MODULE_CRYPT_BYTES,
};
static_assert(sizeof lora_e220_config_frame == WIRELESS_CONFIG_FRAME_SIZE, "the frame is 12 bytes");
static_assert(sizeof shared_secret == WIRELESS_KEY_SIZE, "the key is 32 bytes");

// Status message layout.
constexpr size_t STATUS_ID_AT = 4;
constexpr size_t STATUS_KIND_AT = 12;
constexpr size_t STATUS_FOB_AT = 13;
constexpr size_t STATUS_RELAYED_FROM_AT = WIRELESS_STATUS_RELAYED_FROM_AT;
constexpr size_t STATUS_AGE_AT = 16;
constexpr size_t STATUS_COUNTER_AT = WIRELESS_STATUS_COUNTER_AT;
constexpr size_t STATUS_ORIGIN_AT = WIRELESS_STATUS_ORIGIN_AT;
static_assert(STATUS_COUNTER_AT == 20 && STATUS_ORIGIN_AT == 24, "the event's identity lies beyond the age");
constexpr size_t STATUS_EPOCH_AT = WIRELESS_STATUS_EPOCH_AT;
constexpr size_t STATUS_SEQUENCE_AT = WIRELESS_STATUS_SEQUENCE_AT;
static_assert(STATUS_EPOCH_AT == 26 && STATUS_SEQUENCE_AT == 30, "the freshness fills the last six bytes");
// Fob message layout.
constexpr size_t FOB_UID2_AT = 4;
constexpr size_t FOB_UID3_AT = 8;
constexpr size_t FOB_COUNTER_AT = 12;

uint8_t cached_unique_id[WIRELESS_UNIQUE_ID_SIZE];

// The keyed hash as it stands after the key block, made once by
// wireless_mac_key. It lives in RAM, as does the code that starts every check
// from a copy of it. The check fills these fields of Monocypher 2.x's
// crypto_blake2b_ctx itself (the release pinned in deps/monocypher): `hash`
// (the chained state), `input_offset` (bytes counted before the buffered
// block), `input` (the block as 16 little-endian words), `input_idx` (bytes
// buffered) and `hash_size` (the digest length).
crypto_blake2b_ctx mac_keyed;
constexpr size_t BLAKE2B_BLOCK_SIZE = 128;
constexpr size_t BLAKE2B_WORD_SIZE = 8;
constexpr size_t BLAKE2B_BLOCK_WORDS = BLAKE2B_BLOCK_SIZE / BLAKE2B_WORD_SIZE;
constexpr size_t BLAKE2B_HASH_WORDS = 8;
static_assert(sizeof mac_keyed.hash == BLAKE2B_HASH_WORDS * BLAKE2B_WORD_SIZE, "Monocypher 2.x's context");
static_assert(sizeof mac_keyed.input == BLAKE2B_BLOCK_SIZE, "Monocypher 2.x's context");
constexpr size_t BODY_WORDS = WIRELESS_BODY_SIZE / BLAKE2B_WORD_SIZE;
static_assert(WIRELESS_BODY_SIZE % BLAKE2B_WORD_SIZE == 0, "the body is whole words");

// Received bytes, stored by a DMA channel in ring mode as they leave the
// UART's receive FIFO, so that none are lost while the loop is held (a fob
// store save keeps the flash busy, with interrupts off, longer than the
// 32-byte FIFO lasts at 9600 baud). The pump takes them from the ring one at
// a time; at most one message's worth is ever unconsumed.
alignas(WIRELESS_RX_BUFF_SIZE) uint8_t rx_data[WIRELESS_RX_BUFF_SIZE];
unsigned rx_head;  // where the next byte the pump takes lies
unsigned rx_tail;  // first unconsumed byte
int rx_dma_chan = -1;
constexpr unsigned RX_RING_BITS = 10;
static_assert(1u << RX_RING_BITS == WIRELESS_RX_BUFF_SIZE, "the DMA ring is the whole buffer");
// Transfers of one run of the channel, whole turns of the ring (51 days at
// 9600 baud); the pump starts the next run.
constexpr uint32_t RX_DMA_RUN = 0xFFFFFC00;
static_assert(RX_DMA_RUN % WIRELESS_RX_BUFF_SIZE == 0, "a run ends where the ring begins");

absolute_time_t next_reset_fob;  // unlock falls back to none; nil_time: none pending
absolute_time_t ignore_until;    // presses do not toggle before this; nil_time: no hold-off

// This board's last fob event: its identity, and when it happened on this
// board's clock (microseconds since boot; before boot for an old event taken
// from a peer). status.in.fob is its state.
bool knows_fob_event;  // false until the first toggle, fall-back or adoption
// False for the event kept in flash over a restart: when it happened is not
// known, so the board tells it as an old one (the largest age) and takes no
// told event as younger than it.
bool event_time_known;
uint32_t event_counter;
uint16_t event_origin;
int64_t event_us;
uint16_t own_origin;  // this board's tag, folded from its unique ID

// The broadcast schedule: the current interval, when in it this board speaks
// (nil_time once it has or need not) and how many peers told the same event in it.
uint32_t trickle_ms;
absolute_time_t trickle_end;
absolute_time_t trickle_tx;
unsigned trickle_heard;
bool trickle_after_own_event;  // the quick interval after this board's own event's first broadcast
// A peer has told this board's current event (or, while it knows none, that it
// knows none either): the fleet holds it, and the short intervals may end.
bool event_echoed;
absolute_time_t event_tx;  // the first broadcast of this board's own event; nil_time: none
// One relay or reply; nil_time: none. A relay is not dropped for its source's repeats.
absolute_time_t answer_tx;
bool answer_has_source;
bool answer_from_maker;  // the relay's source made the event
uint8_t answer_source[WIRELESS_UNIQUE_ID_SIZE];

// The peer boards heard, for the size of the answer window, and the
// freshness of each one's last status message taken (0: it sent none with it).
uint8_t peer_ids[WIRELESS_PEERS_MAX][WIRELESS_UNIQUE_ID_SIZE];
int64_t peer_heard_us[WIRELESS_PEERS_MAX];
uint64_t peer_fresh[WIRELESS_PEERS_MAX];
unsigned peer_count;
// Peers reckoned with beyond those heard, until crowd_until_us: boards
// started together hear few of each other, and a window sized by those few
// has every board that heard one packet relay it at once.
uint32_t crowd_peers;
int64_t crowd_until_us;
// This board relayed its current event; what it hears of the event next
// may show that the relay was not heard.
bool relay_sent;

// This board's freshness: the epoch of this start and the broadcasts made in it.
uint32_t boot_epoch;
uint32_t tx_sequence;

// The plain peer whose state this board adopted last, until its own next
// toggle or fall-back, and that peer's last fob event on this board's clock.
bool following;
uint8_t followed_id[WIRELESS_UNIQUE_ID_SIZE];
int64_t followed_event_us;

uint64_t random_state;  // seeded from the board's ID, so that boards differ

uint64_t load_le64(const uint8_t *p) {
    return uint64_t{crc_load_le32(p)} | uint64_t{crc_load_le32(p + 4)} << 32;
}

unsigned rx_advance(unsigned position, unsigned by) {
    return (position + by) % WIRELESS_RX_BUFF_SIZE;
}

// The top 16 bits of the unique ID times the golden ratio: every ID bit
// moves the tag, so that IDs of one batch of chips seldom share one.
uint16_t wireless_origin_tag(const uint8_t *id) {
    return static_cast<uint16_t>((load_le64(id) * 0x9E3779B97F4A7C15ull) >> 48);
}

int64_t now_us() {
    return static_cast<int64_t>(to_us_since_boot(get_absolute_time()));
}

// Milliseconds since this board's last fob event, as the status message carries them.
uint32_t wireless_fob_age_ms() {
    if (!knows_fob_event) return WIRELESS_AGE_NO_EVENT;
    if (!event_time_known) return WIRELESS_AGE_MAX;
    const int64_t age_ms = (now_us() - event_us) / 1000;
    return age_ms >= int64_t{WIRELESS_AGE_MAX} ? WIRELESS_AGE_MAX : static_cast<uint32_t>(age_ms);
}

// SplitMix64: a small generator, enough to spread the broadcasts.
uint64_t wireless_random() {
    random_state += 0x9E3779B97F4A7C15ull;
    uint64_t z = random_state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// A time `after_ms` past `from` and a random whole number of slots more, the
// slot starting within `spread_ms` (one of two at least). Boards that heard
// one packet, or toggled on one press, count their slots from the same
// moment: two of them either meet on the air or the later one has heard the
// earlier before it speaks.
absolute_time_t wireless_slot_time(absolute_time_t from, uint32_t after_ms, uint32_t spread_ms) {
    const uint32_t within = (spread_ms + WIRELESS_SLOT_MS - 1) / WIRELESS_SLOT_MS;
    const uint32_t slots = within < 2 ? 2 : within;
    const uint64_t slot = (wireless_random() >> 32) % slots;
    return delayed_by_us(from, (uint64_t{after_ms} + slot * WIRELESS_SLOT_MS) * 1000);
}

// The same, counted from now (the packet heard, the press, the fall-back),
// the first slot after the lead that leaves room for the event's save.
absolute_time_t wireless_random_time(uint32_t spread_ms) {
    return wireless_slot_time(get_absolute_time(), WIRELESS_SLOT_LEAD_MS, spread_ms);
}

bool wireless_due(absolute_time_t t) {
    return !is_nil_time(t) && time_reached(t);
}

// ---- peers heard -------------------------------------------------------------------------------

// The peer's entry, or peer_count when it has none.
unsigned wireless_peer_find(const uint8_t *id) {
    for (unsigned i = 0; i < peer_count; i++) {
        if (memcmp(peer_ids[i], id, WIRELESS_UNIQUE_ID_SIZE) == 0) return i;
    }
    return peer_count;
}

void wireless_peer_heard(const uint8_t *id, uint64_t fresh) {
    unsigned slot = wireless_peer_find(id);  // a new entry while there is room
    if (slot == WIRELESS_PEERS_MAX) {  // full: the least recently heard makes room
        slot = 0;
        for (unsigned i = 1; i < peer_count; i++) {
            if (peer_heard_us[i] < peer_heard_us[slot]) slot = i;
        }
    } else if (slot == peer_count) {
        peer_count++;
    }
    memcpy(peer_ids[slot], id, WIRELESS_UNIQUE_ID_SIZE);
    peer_heard_us[slot] = now_us();
    peer_fresh[slot] = fresh;  // never lower than before: older ones are dropped
}

// A status message's freshness as one number; 0 when it carries none.
uint64_t wireless_freshness(const uint8_t *msg) {
    const uint32_t epoch = crc_load_be32(msg + STATUS_EPOCH_AT);
    if (epoch == 0) return 0;
    const uint32_t sequence = uint32_t{msg[STATUS_SEQUENCE_AT]} << 8 | msg[STATUS_SEQUENCE_AT + 1];
    return uint64_t{epoch} << 16 | sequence;
}

// The freshness of the last status message taken from this peer; 0 when it
// has sent none with freshness (or is not in the table).
uint64_t wireless_peer_freshness(const uint8_t *id) {
    const unsigned slot = wireless_peer_find(id);
    return slot < peer_count ? peer_fresh[slot] : 0;
}

// The peers heard in the last hour, or the crowd reckoned with when more.
uint32_t wireless_peers_reckoned() {
    const int64_t since_us = now_us() - int64_t{WIRELESS_PEER_FORGET_MS} * 1000;
    uint32_t peers = 0;
    for (unsigned i = 0; i < peer_count; i++) peers += peer_heard_us[i] >= since_us ? 1 : 0;
    return now_us() < crowd_until_us && crowd_peers > peers ? crowd_peers : peers;
}

// This board's relay met others on the air: boards that heard one packet
// still relay it together, so there are more of them than it reckoned with.
// Twice as many from now on, for the next hour.
void wireless_crowd_heard() {
    const uint32_t doubled = 2 * wireless_peers_reckoned();
    crowd_peers = doubled > WIRELESS_PEERS_MAX ? WIRELESS_PEERS_MAX : (doubled < 2 ? 2 : doubled);
    crowd_until_us = now_us() + int64_t{WIRELESS_PEER_FORGET_MS} * 1000;
}

// Another board told the event before this board's relay: the window held the
// boards that relay, and may shrink, one peer at a time (halving it brought
// back the storms that doubled it).
void wireless_crowd_calm() {
    if (crowd_peers > 0) crowd_peers--;
}

// The window of a relay or a reply: two air times for every peer reckoned with.
uint32_t wireless_answer_window_ms() {
    const uint32_t window_ms = wireless_peers_reckoned() * WIRELESS_ANSWER_PER_PEER_MS;
    if (window_ms < WIRELESS_ANSWER_MIN_MS) return WIRELESS_ANSWER_MIN_MS;
    return window_ms > WIRELESS_ANSWER_MAX_MS ? WIRELESS_ANSWER_MAX_MS : window_ms;
}

// ---- the broadcast schedule --------------------------------------------------------------------

// An interval from `from`, where the last one ended (or the event's first
// broadcast was due), so that boards on one slot grid stay on it.
void wireless_trickle_start(absolute_time_t from, uint32_t interval_ms) {
    trickle_after_own_event = false;
    trickle_ms = interval_ms;
    trickle_end = delayed_by_ms(from, interval_ms);
    trickle_tx = wireless_slot_time(from, interval_ms / 2, interval_ms / 2);
    trickle_heard = 0;
}

// The quick interval after this board's own event: its second broadcast.
void wireless_trickle_after_own_event(absolute_time_t from) {
    wireless_trickle_start(from, WIRELESS_TRICKLE_QUICK_MS);
    trickle_after_own_event = true;
}

void wireless_echo_heard() {
    trickle_heard++;
    event_echoed = true;
}

// Where the last interval ended, unless the board was kept from it longer
// than a slot: then the grid is lost, and old intervals are not made up for.
absolute_time_t wireless_trickle_next_start() {
    const absolute_time_t now = get_absolute_time();
    return absolute_time_diff_us(trickle_end, now) > int64_t{WIRELESS_SLOT_MS} * 1000 ? now : trickle_end;
}

// The interval after one that has ended: after the start's short ones, and
// after the quick one of an event that a peer has told back, the longest.
// This board's own event that none has told back may have been lost (boards
// that toggled on one press drown each other, and the relays of a single
// press may meet): it goes out once more, in any slot of a longer interval.
// Any further try would only meet the next presses.
void wireless_trickle_next() {
    const absolute_time_t from = wireless_trickle_next_start();
    if (trickle_ms == WIRELESS_TRICKLE_MIN_MS) {
        wireless_trickle_start(from, WIRELESS_TRICKLE_ASK_MS);
    } else if (trickle_after_own_event && !event_echoed && event_origin == own_origin) {
        wireless_trickle_start(from, WIRELESS_TRICKLE_RETRY_MS);
        trickle_tx = wireless_slot_time(from, 0, WIRELESS_TRICKLE_RETRY_MS);
    } else {
        wireless_trickle_start(from, WIRELESS_TRICKLE_MAX_MS);
    }
}

// A relay of a newer event taken from `source`: dropped when another board tells it first.
void wireless_relay_later(const uint8_t *source) {
    answer_tx = wireless_random_time(wireless_answer_window_ms());
    answer_has_source = true;
    answer_from_maker = wireless_origin_tag(source) == event_origin;
    memcpy(answer_source, source, sizeof answer_source);
}

// A reply to old news or a question, unless one is already due: dropped when
// any board tells this board's event (or a newer one) first.
void wireless_reply_later() {
    if (!is_nil_time(answer_tx) || !is_nil_time(event_tx)) return;  // what is due answers it
    answer_tx = wireless_random_time(wireless_answer_window_ms());
    answer_has_source = false;
}

// A peer told this board's event, or the same news under its own name: it
// toggled on the same press. Then this board's first broadcast of it would
// only meet the others' on the air, and is not made.
void wireless_heard_same_event(const uint8_t *sender) {
    if (!is_nil_time(event_tx)) {
        wireless_trickle_after_own_event(event_tx);
        event_tx = nil_time;
    }
    wireless_echo_heard();
    if (answer_has_source && memcmp(sender, answer_source, sizeof answer_source) == 0) return;
    if (answer_has_source && !is_nil_time(answer_tx)) wireless_crowd_calm();
    answer_tx = nil_time;
}

// ---- events ------------------------------------------------------------------------------------

// A new event of this board's making: the next counter the fleet has not used.
void wireless_new_event() {
    knows_fob_event = true;
    event_time_known = true;
    event_counter++;
    event_origin = own_origin;
    event_us = now_us();
    event_echoed = false;
    relay_sent = false;
}

// This board's own event (a toggle or a fall-back): told at once, then in
// intervals that start again from the shortest.
void wireless_own_event() {
    wireless_new_event();
    following = false;  // our own event from now on
    event_tx = wireless_random_time(WIRELESS_EVENT_SPREAD_MS);
    answer_tx = nil_time;  // that broadcast answers every question
    trickle_tx = nil_time;  // the intervals start again once it is out
}

void wireless_take_state(uint8_t fob) {
    if (fob == status.in.fob) return;
    printf("RESET FOB STATUS TO %d", fob);
    status.in.fob = static_cast<status_fob_t>(fob);
}

// -1, 0 or 1 as the event (counter, origin, fob) is older than, the same as
// or newer than this board's.
int wireless_compare_event(uint32_t counter, uint16_t origin, uint8_t fob) {
    if (counter != event_counter) return counter > event_counter ? 1 : -1;
    if (origin != event_origin) return origin > event_origin ? 1 : -1;
    if (fob != status.in.fob) return fob > status.in.fob ? 1 : -1;
    return 0;
}

// ---- status messages from peers ----------------------------------------------------------------

// A plain peer's state, taken up as this board's own new event (its time now,
// as such a board would stamp it), and relayed to the boards that read events.
void wireless_adopt_plain(const uint8_t *msg, int64_t their_event_us) {
    const uint8_t fob = msg[STATUS_FOB_AT];
    if (fob == status.in.fob) return;  // nothing to take: no new event
    wireless_take_state(fob);
    wireless_new_event();
    following = true;
    memcpy(followed_id, msg + STATUS_ID_AT, sizeof followed_id);
    followed_event_us = their_event_us;
    wireless_relay_later(msg + STATUS_ID_AT);
}

// A message without the event's identity, handled as a plain board would: its
// state is adopted when its last fob event is clearly more recent than ours
// (any event is, while this board knows none), or when it is a later event of
// the peer we adopted from (a lock and an unlock within the margin). A state
// equal to ours changes nothing. One that would take our newer state from us
// (older by the margin, and another state), as a board that knows no event
// asks, is answered.
void wireless_handle_plain_status(const uint8_t *msg) {
    const uint32_t their_age = crc_load_be32(msg + STATUS_AGE_AT);
    const int64_t their_event_us = now_us() - int64_t{their_age} * 1000;
    if (following && memcmp(msg + STATUS_ID_AT, followed_id, sizeof followed_id) == 0) {
        constexpr int64_t tolerance_us = int64_t{WIRELESS_FOLLOW_TOLERANCE_MS} * 1000;
        const int64_t later_us = their_event_us - followed_event_us;
        if (later_us > tolerance_us) {
            wireless_adopt_plain(msg, their_event_us);
            followed_event_us = their_event_us;
        } else if (later_us >= -tolerance_us) {
            // The same event again: track it, so that the two clocks' drift
            // never adds up to the tolerance.
            followed_event_us = their_event_us;
        }
        return;
    }
    const uint32_t my_age = wireless_fob_age_ms();
    if (!knows_fob_event && (their_age == WIRELESS_AGE_NO_EVENT || msg[STATUS_FOB_AT] == status.in.fob)) {
        wireless_echo_heard();  // nothing to tell or to take: the peer agrees, a question can wait
    } else if (their_age < my_age && my_age - their_age > WIRELESS_ADOPT_MARGIN_MS) {
        wireless_adopt_plain(msg, their_event_us);
    } else if (knows_fob_event && msg[STATUS_FOB_AT] != status.in.fob &&
               uint64_t{their_age} > uint64_t{my_age} + WIRELESS_ADOPT_MARGIN_MS) {
        wireless_reply_later();
    }
}

// After this board relayed its event: a relay of it taken from another
// board, or its maker telling it again before its longest intervals (it
// tries again only while none has told it back). Either did not hear this
// board's relay, which met others on the air.
void wireless_check_relay_heard(const uint8_t *msg) {
    if (!relay_sent) return;
    const uint16_t from = static_cast<uint16_t>(msg[STATUS_RELAYED_FROM_AT] << 8 | msg[STATUS_RELAYED_FROM_AT + 1]);
    const bool other_relay = from != 0 && from != own_origin;
    const bool maker_again = from == 0 && wireless_origin_tag(msg + STATUS_ID_AT) == event_origin &&
                             crc_load_be32(msg + STATUS_AGE_AT) < WIRELESS_TRICKLE_MAX_MS / 2;
    if (!other_relay && !maker_again) return;
    relay_sent = false;  // once an event
    wireless_crowd_heard();
}

// An event older by its counter, told by the board that made it, that is yet
// younger than ours by the margin: that board made it from a stale counter.
// Only a message shown to be newer than one heard before from its sender
// (or from a board that sends no freshness, heard as always) may be taken
// as such: played back from a recording, an old press of that board's
// would otherwise win over every later event. Against the event kept over a
// restart, whose time is not known, no event is younger.
bool wireless_fresh_own_event(const uint8_t *msg, uint16_t origin, bool shown_new) {
    if (!shown_new || !event_time_known) return false;
    if (origin != wireless_origin_tag(msg + STATUS_ID_AT)) return false;
    const uint32_t their_age = crc_load_be32(msg + STATUS_AGE_AT);
    return uint64_t{their_age} + WIRELESS_FRESH_EVENT_MARGIN_MS < wireless_fob_age_ms();
}

// When the event a message tells happened, on this board's clock.
int64_t wireless_event_time_us(const uint8_t *msg) {
    const uint32_t their_age = crc_load_be32(msg + STATUS_AGE_AT);
    return now_us() - (int64_t{their_age} + WIRELESS_STATUS_TRANSIT_MS) * 1000;
}

// A message with the event's identity: a newer event is taken up with its
// time (no new stamp) and relayed once; the same event counts towards the
// schedule's silence; old news is answered once.
void wireless_handle_event_status(const uint8_t *msg, uint32_t counter, bool shown_new) {
    const uint8_t *sender = msg + STATUS_ID_AT;
    const uint16_t origin = static_cast<uint16_t>(msg[STATUS_ORIGIN_AT] << 8 | msg[STATUS_ORIGIN_AT + 1]);
    const uint8_t fob = msg[STATUS_FOB_AT];
    int order = knows_fob_event ? wireless_compare_event(counter, origin, fob) : 1;
    if (order < 0 && wireless_fresh_own_event(msg, origin, shown_new)) {
        counter = event_counter + 1;  // as the fleet would number it, had the board known
        order = 1;
    }
    // Boards that toggled on one press from one state made the same news
    // under different names (origins): the fleet settles on the highest name
    // without a word, and none answers or relays the others.
    const bool same_news = order != 0 && knows_fob_event && counter == event_counter && fob == status.in.fob;
    if (same_news || order == 0) wireless_check_relay_heard(msg);
    if (same_news) {
        if (order > 0) {
            event_origin = origin;
            event_time_known = true;
            event_us = wireless_event_time_us(msg);
        }
        wireless_heard_same_event(sender);
    } else if (order < 0) {
        wireless_reply_later();
    } else if (order == 0) {
        wireless_heard_same_event(sender);
    } else {
        wireless_take_state(fob);
        knows_fob_event = true;
        event_time_known = true;
        event_counter = counter;
        event_origin = origin;
        event_us = wireless_event_time_us(msg);
        event_echoed = false;
        relay_sent = false;
        wireless_relay_later(sender);
    }
}

void wireless_handle_status(const uint8_t *msg) {
    if (msg[STATUS_KIND_AT] != WIRELESS_STATUS_KIND) return;
    // Only a reflection or a replay of our own broadcast carries our ID.
    if (memcmp(msg + STATUS_ID_AT, cached_unique_id, sizeof cached_unique_id) == 0) return;
    // Taken only when fresher than the last taken from this peer; once a peer
    // has sent freshness, a message without it is no longer believed.
    const uint64_t fresh = wireless_freshness(msg);
    const uint64_t last = wireless_peer_freshness(msg + STATUS_ID_AT);
    if (last != 0 && fresh <= last) return;
    wireless_peer_heard(msg + STATUS_ID_AT, fresh);
    const uint32_t counter = crc_load_be32(msg + STATUS_COUNTER_AT);
    if (counter != 0) {
        wireless_handle_event_status(msg, counter, fresh == 0 || last != 0);
    } else {
        wireless_handle_plain_status(msg);
    }
}

// A relay of an unlock heard from its maker, which has fallen back to none
// by now and tells that itself to every board that heard the unlock from
// it. Further away the unlock still goes on: it lifts the lockdown there
// before the fall-back arrives.
bool wireless_relay_outdated() {
    return answer_has_source && answer_from_maker && status.in.fob == FOB_UNLOCK && event_time_known &&
           wireless_fob_age_ms() >= WIRELESS_UNLOCK_FALL_BACK_MS;
}

void wireless_send_status(uint16_t relayed_from);

// Every broadcast that is due: this board's new event, a relay or reply,
// and the schedule's, unless a peer told the same event in this interval.
void wireless_broadcast_due() {
    if (wireless_due(event_tx)) {
        wireless_broadcast_status();
        // The next at least half an interval later, after the first and the peers' relays.
        wireless_trickle_after_own_event(event_tx);
        event_tx = nil_time;
    }
    if (wireless_due(answer_tx)) {
        if (answer_has_source && !wireless_relay_outdated()) {
            wireless_send_status(wireless_origin_tag(answer_source));
            relay_sent = true;
        } else if (!answer_has_source) {
            wireless_broadcast_status();
        }
        answer_tx = nil_time;
    }
    if (wireless_due(trickle_tx)) {
        if (trickle_heard < WIRELESS_TRICKLE_REDUNDANCY) wireless_broadcast_status();
        trickle_tx = nil_time;
    }
    if (is_nil_time(event_tx) && time_reached(trickle_end)) {
        wireless_trickle_next();
    }
}

// ---- what the fob store keeps ------------------------------------------------------------------

// Puts this board's event into the store's radio record; true when that
// changed the record, which then needs a save.
bool wireless_record_event() {
    settings_radio_t kept = settings_radio;
    kept.event_known = knows_fob_event ? 1 : 0;
    kept.event_counter = knows_fob_event ? event_counter : 0;
    kept.event_origin = knows_fob_event ? event_origin : 0;
    kept.event_state = knows_fob_event ? static_cast<uint8_t>(status.in.fob) : 0;
    if (memcmp(&kept, &settings_radio, sizeof kept) == 0) return false;
    settings_radio = kept;
    return true;
}

// The event kept over the restart, with its state; when it happened is not
// known. The board tells it as an old event (the largest age), so that it
// takes no plain peer's state from anyone and never passes for a fresh
// press: a restart in a lockdown stays in it, and a recording of an event
// the fleet has since passed is old news here too.
void wireless_load_event() {
    knows_fob_event = settings_radio.event_known != 0;
    event_time_known = false;
    event_counter = knows_fob_event ? settings_radio.event_counter : 0;
    event_origin = knows_fob_event ? settings_radio.event_origin : 0;
    event_us = 0;
    if (knows_fob_event) status.in.fob = static_cast<status_fob_t>(settings_radio.event_state);
}

// The next epoch, in flash before any message carries it, so that no start
// (or a start cut short while it is written) uses one twice. Above the
// store's write counter too: firmware without the record that ran in between
// kept no epoch, but its saves advanced that. It never wraps to 0: the ring
// takes about 3.2 million saves in all.
void wireless_next_epoch() {
    const uint32_t writes = settings_newest_write_counter();
    boot_epoch = (settings_radio.boot_epoch > writes ? settings_radio.boot_epoch : writes) + 1;
    settings_radio.boot_epoch = boot_epoch;
    tx_sequence = 0;
    settings_save();
}

// A status message; a relay names the board it took the event from.
void wireless_send_status(uint16_t relayed_from) {
    uint8_t msg[WIRELESS_MSG_SIZE] = {};
    crc_store_le32(msg, WIRELESS_STATUS_MARKER);
    memcpy(msg + STATUS_ID_AT, cached_unique_id, sizeof cached_unique_id);
    msg[STATUS_KIND_AT] = WIRELESS_STATUS_KIND;
    msg[STATUS_FOB_AT] = status.in.fob;
    msg[STATUS_RELAYED_FROM_AT] = static_cast<uint8_t>(relayed_from >> 8);
    msg[STATUS_RELAYED_FROM_AT + 1] = static_cast<uint8_t>(relayed_from);
    crc_store_be32(msg + STATUS_AGE_AT, wireless_fob_age_ms());
    if (knows_fob_event) {
        crc_store_be32(msg + STATUS_COUNTER_AT, event_counter);
        msg[STATUS_ORIGIN_AT] = static_cast<uint8_t>(event_origin >> 8);
        msg[STATUS_ORIGIN_AT + 1] = static_cast<uint8_t>(event_origin);
    }
    if (tx_sequence == WIRELESS_SEQUENCE_MAX) wireless_next_epoch();
    tx_sequence++;
    crc_store_be32(msg + STATUS_EPOCH_AT, boot_epoch);
    msg[STATUS_SEQUENCE_AT] = static_cast<uint8_t>(tx_sequence >> 8);
    msg[STATUS_SEQUENCE_AT + 1] = static_cast<uint8_t>(tx_sequence);
    wireless_mac(msg + WIRELESS_BODY_SIZE, msg);
    uart_write_blocking(uart0, msg, sizeof msg);
}

void wireless_handle_press(uint32_t uid1, uint32_t uid2, uint32_t uid3, uint32_t counter) {
    settings_fob_t *fob = settings_fobs_find(uid1, uid2, uid3);
    if (fob == nullptr) return;
    // Replayed, stale, or too far ahead to be this fob's next presses.
    if (fob->counter >= counter || counter - fob->counter > WIRELESS_MAX_COUNTER_ADVANCE) return;
    if (is_nil_time(ignore_until) || time_reached(ignore_until)) {
        ignore_until = nil_time;
        wireless_toggle();
    }
    // Even inside the hold-off, so that the same message is never taken again.
    // One save keeps the counter and the toggle's event.
    fob->counter = counter;
    wireless_record_event();
    settings_save();
}

void wireless_process(const uint8_t *msg) {
    const uint32_t uid1 = crc_load_le32(msg);
    const uint32_t uid2 = crc_load_le32(msg + FOB_UID2_AT);
    const uint32_t uid3 = crc_load_le32(msg + FOB_UID3_AT);
    const uint32_t counter = crc_load_be32(msg + FOB_COUNTER_AT);
    // The counter as a signed decimal, as the console has always shown it.
    printf("MSG FROM %08x%08x%08x %d\r\n", static_cast<unsigned>(uid1), static_cast<unsigned>(uid2),
           static_cast<unsigned>(uid3), static_cast<int>(counter));

    if (uid1 == WIRELESS_STATUS_MARKER) {
        wireless_handle_status(msg);
        return;
    }
    switch (status.out.fob_config) {
        case FOB_CONFIG_PAIR:
            settings_fobs_pair(uid1, uid2, uid3, counter);
            break;
        case FOB_CONFIG_NONE:
            wireless_handle_press(uid1, uid2, uid3, counter);
            break;
        default:  // clearing, or an unknown mode: presses are suspended
            break;
    }
}

// The channel is claimed once; a second start-up runs it afresh from the ring's start.
void wireless_rx_dma_init() {
    if (rx_dma_chan < 0) rx_dma_chan = dma_claim_unused_channel(true);
    const uint chan = static_cast<uint>(rx_dma_chan);
    dma_channel_abort(chan);
    dma_channel_config config = dma_channel_get_default_config(chan);
    channel_config_set_transfer_data_size(&config, DMA_SIZE_8);
    channel_config_set_read_increment(&config, false);
    channel_config_set_write_increment(&config, true);
    channel_config_set_ring(&config, true, RX_RING_BITS);
    channel_config_set_dreq(&config, uart_get_dreq(uart0, false));
    dma_channel_configure(chan, &config, rx_data, &uart_get_hw(uart0)->dr, RX_DMA_RUN, true);
}

// Where the DMA channel stores the next byte.
unsigned wireless_rx_received_to() {
    const uint chan = static_cast<uint>(rx_dma_chan);
    if (!dma_channel_is_busy(chan)) dma_channel_set_trans_count(chan, RX_DMA_RUN, true);
    return (RX_DMA_RUN - dma_channel_hw_addr(chan)->transfer_count) % WIRELESS_RX_BUFF_SIZE;
}

// Takes every byte the DMA channel has stored. There is no framing on the
// air: each run of 48 bytes is checked when its last byte arrives; a failed
// check consumes one byte, an authentic message all 48.
void wireless_receive() {
    uint8_t msg[WIRELESS_MSG_SIZE];
    while (rx_head != wireless_rx_received_to()) {
        rx_head = rx_advance(rx_head, 1);
        if (!wireless_read_last_rx_bytes(msg, WIRELESS_MSG_SIZE)) continue;
        if (wireless_message_authentic(msg)) {
            rx_tail = rx_advance(rx_tail, WIRELESS_MSG_SIZE);
            wireless_process(msg);
        } else {
            rx_tail = rx_advance(rx_tail, 1);
        }
    }
}

}  // namespace

void wireless_mac_key(const uint8_t *key) {
    crypto_blake2b_general_init(&mac_keyed, WIRELESS_MAC_SIZE, key, WIRELESS_KEY_SIZE);
    // Monocypher compresses a full block only when the next byte comes: one
    // byte more makes it compress the key block now. Each check overwrites it.
    const uint8_t next = 0;
    crypto_blake2b_update(&mac_keyed, &next, 1);
}

// The body is the one block after the key block, zero-padded. The final step
// adds the bytes buffered (here a whole block) to the offset before it
// compresses, so the offset starts a block short of key block and body.
void __no_inline_not_in_flash_func(wireless_mac)(uint8_t *mac, const uint8_t *body) {
    crypto_blake2b_ctx ctx;
    // One loop for the state and the block: the compiler keeps it as loads
    // and stores instead of calls to memcpy and memset, which run from flash.
    for (size_t w = 0; w < BLAKE2B_BLOCK_WORDS; w++) {
        if (w < BLAKE2B_HASH_WORDS) ctx.hash[w] = mac_keyed.hash[w];
        ctx.input[w] = w < BODY_WORDS ? load_le64(body + w * BLAKE2B_WORD_SIZE) : 0;
    }
    ctx.input_offset[0] = mac_keyed.input_offset[0] + WIRELESS_BODY_SIZE - BLAKE2B_BLOCK_SIZE;
    ctx.input_offset[1] = mac_keyed.input_offset[1];
    ctx.input_idx = BLAKE2B_BLOCK_SIZE;
    ctx.hash_size = WIRELESS_MAC_SIZE;
    crypto_blake2b_final(&ctx, mac);
}

// Runs for every byte the radio delivers once 48 are unconsumed, so it and
// the hash stay in RAM on the board.
bool __no_inline_not_in_flash_func(wireless_message_authentic)(const uint8_t *msg) {
    uint8_t mac[WIRELESS_MAC_SIZE];
    wireless_mac(mac, msg);
    return crypto_verify16(mac, msg + WIRELESS_BODY_SIZE) == 0;
}

bool wireless_read_last_rx_bytes(uint8_t *dst, unsigned n) {
    const unsigned unconsumed = (rx_head + WIRELESS_RX_BUFF_SIZE - rx_tail) % WIRELESS_RX_BUFF_SIZE;
    if (n > WIRELESS_RX_BUFF_SIZE || unconsumed < n) return false;
    unsigned from = (rx_head + WIRELESS_RX_BUFF_SIZE - n) % WIRELESS_RX_BUFF_SIZE;
    for (unsigned i = 0; i < n; i++) {
        dst[i] = rx_data[from];
        from = rx_advance(from, 1);
    }
    return true;
}

void lora_e220_set_mode(lora_e220_mode_t mode) {
    gpio_put(WIRELESS_M0_PIN, (mode & 1u) != 0);
    gpio_put(WIRELESS_M1_PIN, (mode & 2u) != 0);
    sleep_ms(WIRELESS_MODULE_WAIT_MS);
}

// The module's answer is not awaited: it stays in the receive FIFO and later
// fails the message check like any other stray bytes.
void lora_e220_apply_settings() {
    lora_e220_set_mode(LORA_E220_MODE_CONFIGURATION);
    sleep_ms(WIRELESS_MODULE_WAIT_MS);
    uart_write_blocking(uart0, lora_e220_config_frame, sizeof lora_e220_config_frame);
    sleep_ms(WIRELESS_MODULE_WAIT_MS);
    lora_e220_set_mode(LORA_E220_MODE_NORMAL);
}

void wireless_init() {
    wireless_mac_key(shared_secret);
    // The identifier command takes the flash out of its read mode: nothing
    // may run from flash meanwhile.
    const uint32_t interrupts = save_and_disable_interrupts();
    flash_get_unique_id(cached_unique_id);
    restore_interrupts(interrupts);

    next_reset_fob = nil_time;
    ignore_until = nil_time;
    wireless_load_event();
    own_origin = wireless_origin_tag(cached_unique_id);
    following = false;
    event_echoed = false;
    peer_count = 0;
    crowd_peers = 0;
    crowd_until_us = 0;
    relay_sent = false;
    // Boards powered up together must not broadcast together either.
    random_state = load_le64(cached_unique_id) ^ to_us_since_boot(get_absolute_time());
    // A board that knows no event asks its peers within the first interval.
    event_tx = nil_time;
    answer_tx = nil_time;
    wireless_trickle_start(get_absolute_time(), WIRELESS_TRICKLE_MIN_MS);

    memset(rx_data, 0, sizeof rx_data);
    rx_head = rx_tail = 0;

    gpio_set_function(WIRELESS_TX_PIN, GPIO_FUNC_UART);
    gpio_set_function(WIRELESS_RX_PIN, GPIO_FUNC_UART);
    gpio_set_pulls(WIRELESS_TX_PIN, true, false);
    gpio_set_pulls(WIRELESS_RX_PIN, true, false);

    uart_init(uart0, WIRELESS_BAUD);
    uart_set_hw_flow(uart0, false, false);
    uart_set_format(uart0, 8, 1, UART_PARITY_NONE);
    wireless_rx_dma_init();

    gpio_init(WIRELESS_M0_PIN);
    gpio_set_dir(WIRELESS_M0_PIN, GPIO_OUT);
    gpio_init(WIRELESS_M1_PIN);
    gpio_set_dir(WIRELESS_M1_PIN, GPIO_OUT);
    gpio_init(WIRELESS_AUX_PIN);
    gpio_set_dir(WIRELESS_AUX_PIN, GPIO_IN);
    gpio_pull_up(WIRELESS_AUX_PIN);

    lora_e220_apply_settings();
    puts("LoRa done\r");
    // After the module's set-up, which keeps its times; the receive ring
    // takes what the module delivers meanwhile.
    wireless_next_epoch();
}

void wireless_poll() {
    if (wireless_due(next_reset_fob)) {
        status.in.fob = FOB_NONE;
        next_reset_fob = nil_time;
        wireless_own_event();
    }
    wireless_broadcast_due();
    wireless_receive();
    // Kept as soon as it changes, so that a restart cannot take the board back to an older event.
    if (wireless_record_event()) settings_save();
}

void wireless_broadcast_status() {
    wireless_send_status(0);
}

void wireless_toggle() {
    wireless_own_event();  // its time is the press's, before the line is out
    puts("TOGGLE!\r");
    bool fall_back = false;
    switch (status.in.fob) {
        case FOB_NONE:
        case FOB_UNLOCK:
            status.in.fob = FOB_LOCKDOWN;
            break;
        case FOB_LOCKDOWN:
            status.in.fob = FOB_UNLOCK;
            fall_back = true;
            break;
        default:  // a value adopted from a peer that this board does not know
            break;
    }
    ignore_until = make_timeout_time_ms(WIRELESS_TOGGLE_HOLD_OFF_MS);
    if (fall_back) next_reset_fob = make_timeout_time_ms(WIRELESS_UNLOCK_FALL_BACK_MS);
}

// Said at start-up and in the binary information, so that an image with
// the public development keys is never shipped unnoticed.
bi_decl(bi_program_feature(WIRELESS_KEYS_FEATURE))

bool wireless_development_keys() {
    return WIRELESS_KEYS_DEVELOPMENT != 0;
}
