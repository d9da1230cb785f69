// Relays a screen firmware image from the host console to the screen unit:
// a ring of host bytes, windows of base64 block frames with cumulative
// acknowledgements, and a final CRC-32 of the image.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int FW_RING_SIZE = 12288;           // one slot always stays free
constexpr int FW_BLOCK_SIZE = 1024;           // the last block of an image may be shorter
constexpr int FW_WINDOW_BLOCKS = 8;
constexpr uint32_t FW_ACK_TIMEOUT_MS = 600;   // wait for FR, FA or FC
constexpr uint32_t FW_SESSION_TIMEOUT_MS = 15000;  // since the last accepted host byte
constexpr int FW_MAX_RETRIES = 60;            // the next consecutive failure ends the session
constexpr uint32_t FW_BAUD_NORMAL = 115200;
constexpr uint32_t FW_BAUD_FAST = 921600;
constexpr uint32_t FW_READY_PAUSE_MS = 2;     // after FR, before the first window at the fast rate
constexpr size_t FW_PAYLOAD_SIZE = 1380;      // text of one block or window end frame

// Receives the one-word reports: "START", "DONE", "FAIL", "NORESP", "TIMEOUT".
// The words are constant strings, so the pointer may be kept.
using fwupdate_reporter_t = void (*)(const char *msg);

void fwupdate_init();
void fwupdate_poll();
bool fwupdate_active();
void fwupdate_set_reporter(fwupdate_reporter_t fn);
// Begins a session for an image of `size` bytes; a session still running
// is aborted first.
void fwupdate_start(uint32_t size);
// Ends a running session as a failure does, but without a report (its host
// is gone): FX at the rate in use, then back to 115200. Nothing when idle.
void fwupdate_abort();
// Bytes the ring can take now; 0 when no session runs.
int fwupdate_feed_space();
// Copies up to fwupdate_feed_space() of the `len` bytes into the ring; returns how many.
int fwupdate_feed(const uint8_t *data, int len);
// Takes a verified payload from the screen line that begins with "F".
void fwupdate_ack(const char *payload, size_t len);
