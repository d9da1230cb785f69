// The two PL011 UARTs: 32-byte FIFOs each way, a transmit shifter that takes
// ten bit times per byte at the rate the divisor really gives from clk_peri,
// and a receive pin fed by a peer's bytes at their arrival times.
#include "hardware/uart.h"

#include <algorithm>

#include "board.h"
#include "pio_dma.h"

struct uart_inst {
    unsigned index;
};

namespace {
uart_inst instances[vb::kUartCount] = {{0}, {1}};
uart_hw_t registers[vb::kUartCount];
// Rates further apart than this garble every byte.
constexpr uint32_t kRateTolerancePercent = 3;
}  // namespace

extern "C" {
uart_inst_t *const vb_uart0 = &instances[0];
uart_inst_t *const vb_uart1 = &instances[1];
}

namespace vb {

namespace {

Uart &uart_of(uart_inst_t *inst) {
    return board().uart[inst->index];
}

uint64_t byte_ns(const Uart &u) {
    return (u.byte_ns_x64 + 32) / 64;
}

void start_shift(unsigned index, uint64_t at_ns) {
    Board &b = board();
    Uart &u = b.uart[index];
    const uint8_t value = u.tx_fifo[u.tx_head];
    u.tx_head = (u.tx_head + 1) % kUartFifoDepth;
    u.tx_count--;
    u.shifting = true;
    u.shift_end_ns = at_ns + byte_ns(u);
    TxByte &log = u.tx_log[u.tx_total % kUartTxLogSize];
    log = TxByte{at_ns, u.shift_end_ns, u.baud, pin_levels(), 0, value};
}

bool rates_match(uint32_t a, uint32_t b) {
    const uint32_t diff = a > b ? a - b : b - a;
    return uint64_t{diff} * 100 <= uint64_t{b} * kRateTolerancePercent;
}

void receive(Uart &u, const WireByte &w) {
    if (!u.enabled) return;
    uint8_t value = w.value;
    if (!rates_match(w.baud, u.baud)) {
        // A byte at the wrong rate arrives as noise.
        value = static_cast<uint8_t>(~value ^ 0x5A);
        u.rx_garbled++;
    }
    if (u.rx_count == kUartFifoDepth) {
        u.rx_overruns++;
        return;
    }
    u.rx_fifo[(u.rx_head + u.rx_count) % kUartFifoDepth] = value;
    u.rx_count++;
    dma_service(uart_get_dreq(&instances[&u - board().uart], false));
}

uint8_t take_rx(Uart &u) {
    const uint8_t c = u.rx_fifo[u.rx_head];
    u.rx_head = (u.rx_head + 1) % kUartFifoDepth;
    u.rx_count--;
    return c;
}

}  // namespace

bool uart_dreq_active(unsigned dreq) {
    if (dreq < DREQ_UART0_TX || dreq > DREQ_UART1_RX) return false;
    const Uart &u = board().uart[(dreq - DREQ_UART0_TX) / 2];
    const bool rx = (dreq - DREQ_UART0_TX) % 2 == 1;
    return rx ? u.rx_count > 0 : false;  // transmit by DMA is not modelled
}

bool uart_rx_register(uintptr_t addr, unsigned *index) {
    for (unsigned i = 0; i < kUartCount; i++) {
        if (addr == reinterpret_cast<uintptr_t>(&registers[i].dr)) {
            *index = i;
            return true;
        }
    }
    return false;
}

uint8_t uart_dma_read(unsigned index) {
    Uart &u = board().uart[index];
    return u.rx_count > 0 ? take_rx(u) : 0;
}

uint64_t uart_next_event_ns(const Uart &u) {
    uint64_t next = kNever;
    if (u.shifting) next = u.shift_end_ns;
    if (u.wire_head < u.wire_tail) next = std::min(next, u.wire[u.wire_head % kUartWireSize].arrive_ns);
    return next;
}

void uart_fire(unsigned index, uint64_t now_ns) {
    Uart &u = board().uart[index];
    if (u.shifting && u.shift_end_ns <= now_ns) {
        u.tx_log[u.tx_total % kUartTxLogSize].pins_end = pin_levels();
        u.tx_total++;
        u.shifting = false;
        if (u.tx_count > 0) start_shift(index, u.shift_end_ns);
    }
    while (u.wire_head < u.wire_tail && u.wire[u.wire_head % kUartWireSize].arrive_ns <= now_ns) {
        receive(u, u.wire[u.wire_head % kUartWireSize]);
        u.wire_head++;
    }
}

namespace {

// The rate the divisor gives from clk_peri (what the SDK's uart_init and
// uart_set_baudrate return), and ten bit times of it.
void apply_divisor(Uart &u, uint32_t clk) {
    u.baud = static_cast<uint32_t>(4ull * clk / u.divisor64);
    u.byte_ns_x64 = 10ull * 16 * u.divisor64 * 1000000000ull / clk;
}

}  // namespace

void uart_set_rate(unsigned index, uint32_t baud) {
    Board &b = board();
    Uart &u = b.uart[index];
    // The divisor as the SDK computes it from the peripheral clock.
    const uint32_t clk = b.peri_clock_hz;
    const uint32_t div = static_cast<uint32_t>(8ull * clk / baud) + 1;
    uint32_t ibrd = div >> 7;
    uint32_t fbrd = (div & 0x7f) >> 1;
    if (ibrd == 0) {
        ibrd = 1;
        fbrd = 0;
    } else if (ibrd >= 65535) {
        ibrd = 65535;
        fbrd = 0;
    }
    u.divisor64 = 64 * ibrd + fbrd;
    apply_divisor(u, clk);
}

void uart_clock_changed() {
    Board &b = board();
    for (Uart &u : b.uart) {
        if (u.divisor64 != 0) apply_divisor(u, b.peri_clock_hz);
    }
}

}  // namespace vb

using vb::board;
using vb::charge;

extern "C" {

uint uart_init(uart_inst_t *uart, uint baudrate) {
    charge();
    vb::Uart &u = vb::uart_of(uart);
    // The SDK resets the block first: whatever is still in either FIFO, or
    // in the shifter, is lost.
    if (u.shifting) {
        vb::TxByte &cut = u.tx_log[u.tx_total % vb::kUartTxLogSize];
        cut.end_ns = board().now_ns;
        cut.pins_end = vb::pin_levels();
        u.tx_total++;
    }
    u.shifting = false;
    u.tx_head = u.tx_count = 0;
    u.rx_head = u.rx_count = 0;
    u.enabled = true;
    vb::uart_set_rate(uart->index, baudrate);
    vb::reschedule();
    return u.baud;
}

void uart_deinit(uart_inst_t *uart) {
    charge();
    vb::uart_of(uart).enabled = false;
}

uint uart_set_baudrate(uart_inst_t *uart, uint baudrate) {
    charge();
    vb::uart_set_rate(uart->index, baudrate);
    return vb::uart_of(uart).baud;
}

void uart_set_format(uart_inst_t *, uint, uint, uart_parity_t) {
    charge();
}

void uart_set_hw_flow(uart_inst_t *, bool, bool) {
    charge();
}

void uart_set_fifo_enabled(uart_inst_t *, bool) {
    charge();
}

void uart_set_translate_crlf(uart_inst_t *, bool) {
    charge();
}

bool uart_is_writable(uart_inst_t *uart) {
    charge();
    return vb::uart_of(uart).tx_count < vb::kUartFifoDepth;
}

bool uart_is_readable(uart_inst_t *uart) {
    charge();
    return vb::uart_of(uart).rx_count > 0;
}

void uart_putc_raw(uart_inst_t *uart, char c) {
    charge();
    vb::Uart &u = vb::uart_of(uart);
    vb::wait_until([&u] { return u.tx_count < vb::kUartFifoDepth; });
    if (!u.enabled) return;
    u.tx_fifo[(u.tx_head + u.tx_count) % vb::kUartFifoDepth] = static_cast<uint8_t>(c);
    u.tx_count++;
    if (!u.shifting) vb::start_shift(uart->index, board().now_ns);
    vb::reschedule();
}

void uart_putc(uart_inst_t *uart, char c) {
    uart_putc_raw(uart, c);
}

void uart_puts(uart_inst_t *uart, const char *s) {
    while (*s) uart_putc(uart, *s++);
}

void uart_write_blocking(uart_inst_t *uart, const uint8_t *src, size_t len) {
    for (size_t i = 0; i < len; i++) uart_putc_raw(uart, static_cast<char>(src[i]));
}

char uart_getc(uart_inst_t *uart) {
    charge();
    vb::Uart &u = vb::uart_of(uart);
    vb::wait_until([&u] { return u.rx_count > 0; });
    board().idle_changes++;
    return static_cast<char>(vb::take_rx(u));
}

void uart_read_blocking(uart_inst_t *uart, uint8_t *dst, size_t len) {
    for (size_t i = 0; i < len; i++) dst[i] = static_cast<uint8_t>(uart_getc(uart));
}

void uart_tx_wait_blocking(uart_inst_t *uart) {
    charge();
    vb::Uart &u = vb::uart_of(uart);
    vb::wait_until([&u] { return !u.shifting && u.tx_count == 0; });
}

uint uart_get_index(uart_inst_t *uart) {
    return uart->index;
}

uart_hw_t *uart_get_hw(uart_inst_t *uart) {
    return &registers[uart->index];
}

}  // extern "C"
