// The half-duplex serial line to the screen unit (UART1, shared with the console).
#pragma once

#include <cstddef>
#include <cstdint>

constexpr unsigned SCREEN_TX_PIN = 8;
constexpr unsigned SCREEN_RX_PIN = 9;
constexpr unsigned SCREEN_DIR_PIN_A = 10;
constexpr unsigned SCREEN_DIR_PIN_B = 11;
constexpr uint32_t SCREEN_BAUD = 115200;
constexpr uint32_t SCREEN_REPORT_INTERVAL_MS = 250;
constexpr uint32_t SCREEN_DIR_GUARD_US = 200;
constexpr unsigned SCREEN_RX_BUFF_SIZE = 8192;
constexpr unsigned SCREEN_CMD_MAX_LEN = 240;
constexpr unsigned SCREEN_CMD_BUFF_SIZE = 256;
constexpr unsigned SCREEN_FW_MAX_LEN = 1500;

void screen_init();
void screen_poll();
void screen_set_baud(uint32_t baud);
void screen_fw_set_active(bool active);
void screen_send_fw(const char *payload);
void screen_send_fw_begin();
void screen_send_fw_frame(const char *payload);
void screen_send_fw_end();
// A firmware frame streamed out while its payload is still being produced,
// inside screen_send_fw_begin/end: the caller keeps the payload within
// SCREEN_FW_MAX_LEN, as nothing already sent can be taken back.
void screen_fw_frame_open();
void screen_fw_frame_put(const char *text, size_t len);
void screen_fw_frame_close();
