#include "screen.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "crc16.h"
#include "fwupdate.h"
#include "pico/stdlib.h"
#include "status.h"

namespace {

constexpr unsigned FRAME_PREFIX_LEN = 3;   // ">>>" or "<<<"
constexpr unsigned FRAME_CHECK_LEN = 4;    // four hexadecimal digits
constexpr unsigned FRAME_MIN_RX_LEN = 8;   // prefix, one payload character, check value
constexpr char FW_FRAME_PREFIX[] = "<<<";
constexpr size_t FW_FRAME_TRAILER_SIZE = FRAME_CHECK_LEN + 3;  // check value, "\r\n", NUL

char rx_buff[SCREEN_RX_BUFF_SIZE];
int rx_pos = 0;
absolute_time_t next_broadcast;
volatile bool fw_active = false;
uint16_t fw_frame_crc = CRC_MODBUS_INIT;  // over the payload of the frame being streamed

uint16_t crc_of(const char *text, size_t len) {
    return crc_modbus(reinterpret_cast<const unsigned char *>(text), len);
}

void screen_set_direction(bool out) {
    // Console text still in the transmit FIFO must not go out on the line
    // while it is switched to transmit, nor eat into the guard time.
    uart_tx_wait_blocking(uart1);
    sleep_us(SCREEN_DIR_GUARD_US);
    gpio_put(SCREEN_DIR_PIN_A, out);
    gpio_put(SCREEN_DIR_PIN_B, out);
    sleep_us(SCREEN_DIR_GUARD_US);
}

void screen_send_cmd(const char *cmd) {
    size_t len = strlen(cmd);
    if (len > SCREEN_CMD_MAX_LEN) return;
    while (len > 0 && static_cast<unsigned char>(cmd[len - 1]) < 0x20) len--;

    char frame[SCREEN_CMD_BUFF_SIZE];
    snprintf(frame, sizeof frame, "<<<%.*s%04X\r\n", static_cast<int>(len), cmd, crc_of(cmd, len));

    screen_set_direction(true);
    uart_puts(uart1, frame);
    uart_tx_wait_blocking(uart1);
    screen_set_direction(false);
}

void screen_process_cmd() {
    char *line = rx_buff;
    if (strncmp(line, ">>>", FRAME_PREFIX_LEN) != 0) return;
    const size_t len = strlen(line);
    if (len < FRAME_MIN_RX_LEN) return;

    char *check = line + len - FRAME_CHECK_LEN;
    const auto received = static_cast<uint16_t>(strtoul(check, nullptr, 16));
    *check = '\0';
    char *payload = line + FRAME_PREFIX_LEN;
    const size_t payload_len = len - FRAME_PREFIX_LEN - FRAME_CHECK_LEN;
    if (crc_of(payload, payload_len) != received) return;

    if (payload[0] == 'F') {
        fwupdate_ack(payload, payload_len);
    } else {
        status_load_outputs(payload);
    }
}

// Ends the line at index `end` (where its "\n" was stored): every control
// character walking back from there becomes NUL.
void screen_terminate_line(int end) {
    for (int i = end; i >= 0 && static_cast<unsigned char>(rx_buff[i]) < 0x20; i--) {
        rx_buff[i] = '\0';
    }
}

void screen_receive() {
    while (uart_is_readable(uart1)) {
        const char c = uart_getc(uart1);
        rx_buff[rx_pos] = c;
        if (c != '\n') {
            // A line longer than the buffer wraps and overwrites its own start.
            rx_pos = (rx_pos + 1) % static_cast<int>(SCREEN_RX_BUFF_SIZE);
            continue;
        }
        screen_terminate_line(rx_pos);
        screen_process_cmd();
        rx_pos = 0;
    }
}

void screen_send_report() {
    if (fw_active) return;  // a report that falls due meanwhile goes out after the transfer
    if (!time_reached(next_broadcast)) return;
    screen_send_cmd(status_get_inputs_string());
    next_broadcast = make_timeout_time_ms(SCREEN_REPORT_INTERVAL_MS);
}

}  // namespace

void screen_init() {
    puts("Start screen\r");
    gpio_init(SCREEN_DIR_PIN_A);
    gpio_set_dir(SCREEN_DIR_PIN_A, GPIO_OUT);
    gpio_init(SCREEN_DIR_PIN_B);
    gpio_set_dir(SCREEN_DIR_PIN_B, GPIO_OUT);
    screen_set_direction(false);

    // Re-initialising the UART resets it and would drop the console text
    // still in its transmit FIFO, so let that leave first.
    uart_tx_wait_blocking(uart1);
    gpio_set_function(SCREEN_TX_PIN, GPIO_FUNC_UART);
    gpio_set_function(SCREEN_RX_PIN, GPIO_FUNC_UART);
    uart_init(uart1, SCREEN_BAUD);

    next_broadcast = make_timeout_time_ms(SCREEN_REPORT_INTERVAL_MS);
}

void screen_poll() {
    screen_receive();
    screen_send_report();
}

void screen_set_baud(uint32_t baud) {
    uart_set_baudrate(uart1, baud);
}

void screen_fw_set_active(bool active) {
    fw_active = active;
}

void screen_send_fw_begin() {
    screen_set_direction(true);
}

void screen_send_fw_frame(const char *payload) {
    const size_t len = strlen(payload);
    if (len > SCREEN_FW_MAX_LEN) return;
    screen_fw_frame_open();
    screen_fw_frame_put(payload, len);
    screen_fw_frame_close();
}

void screen_fw_frame_open() {
    fw_frame_crc = CRC_MODBUS_INIT;
    uart_write_blocking(uart1, reinterpret_cast<const uint8_t *>(FW_FRAME_PREFIX), strlen(FW_FRAME_PREFIX));
}

// The text goes into the transmit FIFO first; its share of the check value is
// worked out while the FIFO drains, so the line never waits for it.
void screen_fw_frame_put(const char *text, size_t len) {
    const auto *bytes = reinterpret_cast<const uint8_t *>(text);
    uart_write_blocking(uart1, bytes, len);
    fw_frame_crc = crc_modbus_update(fw_frame_crc, bytes, len);
}

void screen_fw_frame_close() {
    char trailer[FW_FRAME_TRAILER_SIZE];
    const int n = snprintf(trailer, sizeof trailer, "%04X\r\n", fw_frame_crc);
    uart_write_blocking(uart1, reinterpret_cast<const uint8_t *>(trailer), static_cast<size_t>(n));
}

void screen_send_fw_end() {
    uart_tx_wait_blocking(uart1);
    screen_set_direction(false);
}

void screen_send_fw(const char *payload) {
    screen_send_fw_begin();
    screen_send_fw_frame(payload);
    screen_send_fw_end();
}
