#include "fwupdate.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "crc16.h"
#include "pico/stdlib.h"
#include "screen.h"

namespace {

enum fw_state_t : uint8_t {
    ST_IDLE = 0,
    ST_SEND_BEGIN = 1,    // begin frame due on the next poll
    ST_WAIT_READY = 2,    // waiting for FR
    ST_SEND_WINDOW = 3,   // window to be (re)filled and sent on the next poll
    ST_WAIT_WINDOW = 4,   // waiting for FA
    ST_SEND_FINISH = 5,   // finish frame due on the next poll
    ST_WAIT_DONE = 6,     // waiting for FC
};
static_assert(sizeof(fw_state_t) == 1, "the session state is one byte");

constexpr size_t ANSWER_NUMBER_AT = 2;   // the number in FA and FC follows the two letters
constexpr size_t FA_MIN_LEN = 6;         // as in FA0008
constexpr size_t FC_MIN_LEN = 4;         // as in FC00
constexpr size_t BEGIN_BUFF_SIZE = 32;
constexpr size_t FINISH_BUFF_SIZE = 16;
constexpr size_t BLOCK_HEADER_MAX = 10;  // "FD" and up to eight hex digits
constexpr size_t B64_BLOCK_LEN = 4 * ((FW_BLOCK_SIZE + 2) / 3);
constexpr int B64_CHUNK_BYTES = 48;  // block bytes encoded and sent at a time
constexpr size_t B64_CHUNK_LEN = 4 * B64_CHUNK_BYTES / 3;

static_assert(BLOCK_HEADER_MAX + B64_BLOCK_LEN + 1 <= FW_PAYLOAD_SIZE, "a full block frame stays within the payload limit");
static_assert(FW_PAYLOAD_SIZE <= SCREEN_FW_MAX_LEN, "every firmware payload is below the screen line's limit");
static_assert(B64_CHUNK_BYTES % 3 == 0, "only a block's last chunk may need padding");
static_assert(FW_WINDOW_BLOCKS * FW_BLOCK_SIZE < FW_RING_SIZE, "the ring holds a whole window");

constexpr char B64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
static_assert(sizeof B64 == 65, "64 symbols and the terminator");

fw_state_t state = ST_IDLE;
uint32_t total_size = 0;
uint32_t total_blocks = 0;
uint32_t running_crc = CRC_ISO_HDLC_INIT;  // over acknowledged bytes, not yet inverted
int retries = 0;                    // consecutive time-outs and acknowledgements without progress
absolute_time_t deadline = 0;
absolute_time_t session_deadline = 0;

uint8_t ring[FW_RING_SIZE];
volatile int ring_head = 0;  // written only by fwupdate_feed
volatile int ring_tail = 0;  // written only by fill_window

uint8_t win[FW_WINDOW_BLOCKS][FW_BLOCK_SIZE];  // slot i holds block win_base + i
int win_len[FW_WINDOW_BLOCKS];
uint32_t win_base = 0;  // lowest block not yet acknowledged
int win_count = 0;
// running_crc continued over slots 0 to i, worked out while the window last
// sent went out: an acknowledgement then folds its blocks in at no cost.
uint32_t win_crc[FW_WINDOW_BLOCKS];

fwupdate_reporter_t reporter = nullptr;

int ring_used() {
    int used = ring_head - ring_tail;
    if (used < 0) used += FW_RING_SIZE;
    return used;
}

int ring_advance(int index, int by) {
    index += by;
    return index >= FW_RING_SIZE ? index - FW_RING_SIZE : index;
}

// The ring's storage from `index` on: `len` bytes in at most two pieces.
struct ring_span_t {
    int first;   // bytes from `index` to the end of the storage at most
    int second;  // the rest, from the start of the storage
};

ring_span_t ring_span(int index, int len) {
    const int first = len < FW_RING_SIZE - index ? len : FW_RING_SIZE - index;
    return {first, len - first};
}

uint32_t block_size(uint32_t n) {
    const uint32_t rest = total_size - n * FW_BLOCK_SIZE;
    return rest <= FW_BLOCK_SIZE ? rest : FW_BLOCK_SIZE;
}

// Once the current time is later than `t`.
bool passed(absolute_time_t t) {
    return absolute_time_diff_us(get_absolute_time(), t) < 0;
}

void report(const char *msg) {
    if (reporter != nullptr) reporter(msg);
}

// Standard base64 (RFC 4648) with "=" padding; writes 4*ceil(len/3) characters and a NUL.
void b64_encode(const uint8_t *in, int len, char *out) {
    int i = 0;
    for (; i + 2 < len; i += 3) {
        const uint32_t v = uint32_t{in[i]} << 16 | uint32_t{in[i + 1]} << 8 | in[i + 2];
        *out++ = B64[v >> 18];
        *out++ = B64[(v >> 12) & 63];
        *out++ = B64[(v >> 6) & 63];
        *out++ = B64[v & 63];
    }
    if (len - i == 1) {
        const uint8_t b = in[i];
        *out++ = B64[b >> 2];
        *out++ = B64[(b << 4) & 63];
        *out++ = '=';
        *out++ = '=';
    } else if (len - i == 2) {
        const uint8_t b0 = in[i];
        const uint8_t b1 = in[i + 1];
        *out++ = B64[b0 >> 2];
        *out++ = B64[((b0 << 4) & 63) | (b1 >> 4)];
        *out++ = B64[(b1 & 15) << 2];
        *out++ = '=';
    }
    *out = '\0';
}

void end_session() {
    screen_set_baud(FW_BAUD_NORMAL);
    screen_fw_set_active(false);
    state = ST_IDLE;
}

void finish_ok() {
    report("DONE");
    end_session();
}

// The abort frame goes out at the rate in use, so that a screen unit already
// at the fast rate hears it; only then does the line return to 115200.
void abort_session() {
    screen_send_fw("FX");
    end_session();
}

void fail(const char *why) {
    report(why);
    abort_session();
}

// Counts one failed exchange; false once the session has ended.
bool count_retry() {
    retries++;
    if (retries > FW_MAX_RETRIES) {
        fail("NORESP");
        return false;
    }
    return true;
}

void send_begin() {
    char frame[BEGIN_BUFF_SIZE];
    snprintf(frame, sizeof frame, "FB%08lX%04X%06lX", static_cast<unsigned long>(total_size), FW_BLOCK_SIZE,
             static_cast<unsigned long>(FW_BAUD_FAST));
    screen_send_fw(frame);
    deadline = make_timeout_time_ms(FW_ACK_TIMEOUT_MS);
    state = ST_WAIT_READY;
}

// A block enters the window only once all of its bytes are in the ring.
void fill_window() {
    while (win_count < FW_WINDOW_BLOCKS) {
        const uint32_t bn = win_base + static_cast<uint32_t>(win_count);
        if (bn >= total_blocks) return;
        const int bsz = static_cast<int>(block_size(bn));
        if (ring_used() < bsz) return;
        uint8_t *slot = win[win_count];
        const int tail = ring_tail;
        const ring_span_t span = ring_span(tail, bsz);
        memcpy(slot, ring + tail, static_cast<size_t>(span.first));
        memcpy(slot + span.first, ring, static_cast<size_t>(span.second));
        ring_tail = ring_advance(tail, bsz);
        win_len[win_count] = bsz;
        win_count++;
    }
}

// A block frame is encoded a chunk at a time while the line sends the chunk
// before it, so the transmit FIFO never runs dry between frames. The block's
// bytes enter `crc` meanwhile too.
uint32_t send_block(int slot, uint32_t crc) {
    char text[B64_CHUNK_LEN + 1];
    static_assert(sizeof text > BLOCK_HEADER_MAX, "the header fits the chunk buffer");
    const int header = snprintf(text, sizeof text, "FD%04lX", static_cast<unsigned long>(win_base + static_cast<uint32_t>(slot)));
    screen_fw_frame_open();
    screen_fw_frame_put(text, static_cast<size_t>(header));
    const uint8_t *block = win[slot];
    for (int at = 0; at < win_len[slot]; at += B64_CHUNK_BYTES) {
        const int rest = win_len[slot] - at;
        const int len = rest < B64_CHUNK_BYTES ? rest : B64_CHUNK_BYTES;
        b64_encode(block + at, len, text);
        screen_fw_frame_put(text, 4 * ((static_cast<size_t>(len) + 2) / 3));
        crc = crc_iso_hdlc_update(crc, block + at, static_cast<size_t>(len));
    }
    screen_fw_frame_close();
    return crc;
}

// Every block in the window goes out each time, as one transmission.
void send_window() {
    screen_send_fw_begin();
    uint32_t crc = running_crc;
    for (int i = 0; i < win_count; i++) {
        crc = send_block(i, crc);
        win_crc[i] = crc;
    }
    char end_frame[BLOCK_HEADER_MAX + 1];
    snprintf(end_frame, sizeof end_frame, "FP%04lX", static_cast<unsigned long>(win_base + static_cast<uint32_t>(win_count)));
    screen_send_fw_frame(end_frame);
    screen_send_fw_end();
    deadline = make_timeout_time_ms(FW_ACK_TIMEOUT_MS);
    state = ST_WAIT_WINDOW;
}

void send_finish() {
    char frame[FINISH_BUFF_SIZE];
    snprintf(frame, sizeof frame, "FZ%08lX", static_cast<unsigned long>(~running_crc));
    screen_send_fw(frame);
    deadline = make_timeout_time_ms(FW_ACK_TIMEOUT_MS);
    state = ST_WAIT_DONE;
}

void poll_send_window() {
    if (win_count < FW_WINDOW_BLOCKS) fill_window();
    if (win_count > 0) {
        send_window();
    } else if (win_base >= total_blocks) {
        state = ST_SEND_FINISH;
    }
    // Otherwise the next block is not yet complete in the ring.
}

void poll_wait(fw_state_t resend) {
    if (!passed(deadline)) return;
    if (count_retry()) state = resend;
}

// The number after an answer's two letters, read as strtoul reads base 16.
// Values wider than 32 bits stay wide, so that they never alias a block number.
unsigned long answer_number(const char *text, bool *has_digits) {
    char *end = nullptr;
    const unsigned long value = strtoul(text + ANSWER_NUMBER_AT, &end, 16);
    *has_digits = end != text + ANSWER_NUMBER_AT;
    return value;
}

void ack_ready() {
    if (state != ST_WAIT_READY) return;
    screen_set_baud(FW_BAUD_FAST);
    sleep_ms(FW_READY_PAUSE_MS);
    state = ST_SEND_WINDOW;
    retries = 0;
}

void ack_window(const char *text, size_t len) {
    if (state != ST_WAIT_WINDOW || len < FA_MIN_LEN) return;
    bool has_digits = false;
    const unsigned long next = answer_number(text, &has_digits);
    // Stale or beyond the window: the wait goes on.
    if (next < win_base || next > win_base + static_cast<uint32_t>(win_count)) return;

    const int dropped = static_cast<int>(next - win_base);
    if (dropped > 0) {
        // Answers come only in ST_WAIT_WINDOW, so win_crc is that of the window as sent.
        running_crc = win_crc[dropped - 1];
        for (int k = dropped; k < win_count; k++) {
            memcpy(win[k - dropped], win[k], static_cast<size_t>(win_len[k]));
            win_len[k - dropped] = win_len[k];
        }
        win_count -= dropped;
        win_base = static_cast<uint32_t>(next);
        retries = 0;
    } else if (!count_retry()) {
        return;
    }
    // Without progress the same window goes out again at once.
    state = next < total_blocks ? ST_SEND_WINDOW : ST_SEND_FINISH;
}

// Only an explicit zero is success: a code without digits is a failure, as
// is one that is too short.
void ack_complete(const char *text, size_t len) {
    if (state != ST_WAIT_DONE) return;
    bool has_digits = false;
    const unsigned long code = len >= FC_MIN_LEN ? answer_number(text, &has_digits) : 1;
    if (has_digits && code == 0) {
        finish_ok();
    } else {
        fail("FAIL");
    }
}

}  // namespace

void fwupdate_init() {
    state = ST_IDLE;
}

bool fwupdate_active() {
    return state != ST_IDLE;
}

void fwupdate_set_reporter(fwupdate_reporter_t fn) {
    reporter = fn;
}

void fwupdate_start(uint32_t size) {
    // A session still running has lost its host: the screen unit hears its
    // abort before the new begin frame, or it would stay at the fast rate.
    fwupdate_abort();
    total_size = size;
    // Counted without the 32-bit overflow of (size + 1023) >> 10, which would
    // make an image of nearly 4 GiB look like one of no blocks at all.
    total_blocks = size / FW_BLOCK_SIZE + (size % FW_BLOCK_SIZE != 0 ? 1 : 0);
    running_crc = CRC_ISO_HDLC_INIT;
    retries = 0;
    ring_head = 0;
    ring_tail = 0;
    win_base = 0;
    win_count = 0;
    screen_set_baud(FW_BAUD_NORMAL);
    state = ST_SEND_BEGIN;
    session_deadline = make_timeout_time_ms(FW_SESSION_TIMEOUT_MS);
    screen_fw_set_active(true);
    report("START");
}

void fwupdate_abort() {
    if (state != ST_IDLE) abort_session();
}

int fwupdate_feed_space() {
    if (state == ST_IDLE) return 0;
    return FW_RING_SIZE - 1 - ring_used();
}

int fwupdate_feed(const uint8_t *data, int len) {
    if (data == nullptr || len <= 0) return 0;
    const int space = fwupdate_feed_space();
    if (len > space) len = space;
    const int head = ring_head;
    const ring_span_t span = ring_span(head, len);
    memcpy(ring + head, data, static_cast<size_t>(span.first));
    memcpy(ring, data + span.first, static_cast<size_t>(span.second));
    ring_head = ring_advance(head, len);
    if (len > 0) session_deadline = make_timeout_time_ms(FW_SESSION_TIMEOUT_MS);
    return len;
}

void fwupdate_poll() {
    if (state == ST_IDLE) return;
    if (passed(session_deadline)) {
        fail("TIMEOUT");
        return;
    }
    switch (state) {
        case ST_SEND_BEGIN:
            send_begin();
            break;
        case ST_WAIT_READY:
            poll_wait(ST_SEND_BEGIN);
            break;
        case ST_SEND_WINDOW:
            poll_send_window();
            break;
        case ST_WAIT_WINDOW:
            poll_wait(ST_SEND_WINDOW);
            break;
        case ST_SEND_FINISH:
            send_finish();
            break;
        case ST_WAIT_DONE:
            poll_wait(ST_SEND_FINISH);
            break;
        case ST_IDLE:
            break;
    }
}

void fwupdate_ack(const char *text, size_t len) {
    if (state == ST_IDLE || text == nullptr || len < 2 || text[0] != 'F') return;
    switch (text[1]) {
        case 'R':
            ack_ready();
            break;
        case 'A':
            ack_window(text, len);
            break;
        case 'C':
            ack_complete(text, len);
            break;
        default:
            break;  // unknown answers are ignored
    }
}
