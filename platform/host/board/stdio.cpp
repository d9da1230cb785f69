// Standard output on UART1, as the SDK's UART stdio driver does it: each "\n"
// leaves as "\r\n" unless a "\r" went just before it.
//
// The firmware's calls to the C library's output functions are renamed to
// these at build time (the board's SDK wraps the same functions at link time).
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "board.h"
#include "hardware/gpio.h"
#include "hardware/uart.h"
#include "pico/platform.h"
#include "pico/stdio.h"

namespace {

constexpr uint32_t kStdioBaud = 115200;
constexpr unsigned kStdioTxPin = 8;
constexpr unsigned kStdioRxPin = 9;
constexpr size_t kPrintfBufferSize = 1024;

void out_chars(const char *s, size_t len) {
    vb::Board &b = vb::board();
    if (!b.stdio_ready) return;
    for (size_t i = 0; i < len; i++) {
        if (s[i] == '\n' && !b.stdio_last_cr) uart_putc_raw(uart1, '\r');
        uart_putc_raw(uart1, s[i]);
        b.stdio_last_cr = s[i] == '\r';
    }
}

int out_vformat(const char *fmt, va_list args) {
    char text[kPrintfBufferSize];
    const int n = vsnprintf(text, sizeof text, fmt, args);
    if (n > 0) out_chars(text, std::min(static_cast<size_t>(n), sizeof text - 1));
    return n;
}

}  // namespace

extern "C" {

bool stdio_init_all(void) {
    gpio_set_function(kStdioTxPin, GPIO_FUNC_UART);
    gpio_set_function(kStdioRxPin, GPIO_FUNC_UART);
    uart_init(uart1, kStdioBaud);
    vb::board().stdio_ready = true;
    return true;
}

int __wrap_puts(const char *s) {
    vb::charge();
    out_chars(s, strlen(s));
    out_chars("\n", 1);
    return 1;
}

int __wrap_putchar(int c) {
    vb::charge();
    const char ch = static_cast<char>(c);
    out_chars(&ch, 1);
    return c;
}

int __wrap_vprintf(const char *fmt, va_list args) {
    vb::charge();
    return out_vformat(fmt, args);
}

int __wrap_printf(const char *fmt, ...) {
    vb::charge();
    va_list args;
    va_start(args, fmt);
    const int n = out_vformat(fmt, args);
    va_end(args);
    return n;
}

void panic(const char *fmt, ...) {
    char message[200];
    va_list args;
    va_start(args, fmt);
    vsnprintf(message, sizeof message, fmt, args);
    va_end(args);
    __wrap_puts("\n*** PANIC ***\n");
    __wrap_puts(message);
    vb::board_halt(message);
}

}  // extern "C"
