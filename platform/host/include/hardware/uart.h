// Simulated board: the two PL011 UARTs.
#pragma once

#include "hardware/regs/dreq.h"
#include "pico/types.h"

typedef struct uart_inst uart_inst_t;

#ifdef __cplusplus
extern "C" {
#endif

extern uart_inst_t *const vb_uart0;
extern uart_inst_t *const vb_uart1;
#define uart0 vb_uart0
#define uart1 vb_uart1

typedef enum { UART_PARITY_NONE, UART_PARITY_EVEN, UART_PARITY_ODD } uart_parity_t;

// The register block as far as DMA uses it: a channel reading `dr` takes the
// receive FIFO's oldest byte (or feeds the transmit FIFO when writing it).
typedef struct {
    volatile uint32_t dr;
} uart_hw_t;

uint uart_init(uart_inst_t *uart, uint baudrate);
void uart_deinit(uart_inst_t *uart);
uint uart_set_baudrate(uart_inst_t *uart, uint baudrate);
void uart_set_format(uart_inst_t *uart, uint data_bits, uint stop_bits, uart_parity_t parity);
void uart_set_hw_flow(uart_inst_t *uart, bool cts, bool rts);
void uart_set_fifo_enabled(uart_inst_t *uart, bool enabled);
void uart_set_translate_crlf(uart_inst_t *uart, bool translate);
bool uart_is_writable(uart_inst_t *uart);
bool uart_is_readable(uart_inst_t *uart);
void uart_putc_raw(uart_inst_t *uart, char c);
void uart_putc(uart_inst_t *uart, char c);
void uart_puts(uart_inst_t *uart, const char *s);
void uart_write_blocking(uart_inst_t *uart, const uint8_t *src, size_t len);
void uart_read_blocking(uart_inst_t *uart, uint8_t *dst, size_t len);
char uart_getc(uart_inst_t *uart);
void uart_tx_wait_blocking(uart_inst_t *uart);
uint uart_get_index(uart_inst_t *uart);
uart_hw_t *uart_get_hw(uart_inst_t *uart);

// The UART's transfer request: receive while its FIFO holds a byte, transmit while it has room.
static inline uint uart_get_dreq(uart_inst_t *uart, bool is_tx) {
    return DREQ_UART0_TX + 2 * uart_get_index(uart) + (is_tx ? 0 : 1);
}

#ifdef __cplusplus
}
#endif
