// The simulated RP2040 board: device state and the virtual clock.
//
// All state lives in one block of memory shared across fork(), so that a
// test (the host side) can run the firmware in a child process per boot and
// still see every pin, byte and flash cell. The two sides never run at the
// same time: the host hands the firmware a time limit and waits until the
// firmware's clock reaches it.
#pragma once

#include <semaphore.h>

#include <cstddef>
#include <cstdint>

namespace vb {

constexpr unsigned kGpioCount = 30;
constexpr unsigned kUartCount = 2;
constexpr unsigned kUartFifoDepth = 32;
constexpr size_t kUartTxLogSize = size_t{1} << 18;  // bytes kept per UART transmitter
constexpr size_t kUartWireSize = size_t{1} << 16;   // bytes a peer may have in flight
constexpr size_t kPinLogSize = size_t{1} << 18;
constexpr uint64_t kNever = UINT64_MAX;
// Virtual CPU time charged for each call into the SDK, so that a busy loop
// advances the clock as it does on the board (about 33 cycles at 132 MHz).
constexpr uint64_t kCallCostNs = 250;
constexpr uint32_t kDefaultSysClockHz = 125000000;  // what the runtime sets before main
// clk_peri, which clocks the UARTs, follows clk_sys until the firmware sets
// the system clock; then the SDK moves it to the USB PLL's 48 MHz.
constexpr uint32_t kUsbPllHz = 48000000;
constexpr uint32_t kXoscHz = 12000000;
constexpr uint32_t kStackSize = 0x800;
constexpr uint32_t kDefaultStackDepth = 0x60;  // bytes main's caller holds on the board

// GPIO functions, numbered as on the RP2040.
enum : uint8_t { kFuncUart = 2, kFuncSio = 5, kFuncPio0 = 6, kFuncPio1 = 7, kFuncNull = 0x1f };

struct Pin {
    uint8_t func;
    bool out_enable;
    bool out_value;
    bool pull_up;
    bool pull_down;
    bool ext_driven;  // a peer drives the pin
    bool ext_level;
};

struct PinEvent {
    uint64_t t_ns;
    uint8_t pin;
    bool level;
};

struct TxByte {
    uint64_t start_ns;  // start bit begins
    uint64_t end_ns;    // stop bit ends
    uint32_t baud;      // actual rate the divisor gives
    uint32_t pins_start;  // levels of all pins when the byte starts and ends
    uint32_t pins_end;
    uint8_t value;
};

struct WireByte {
    uint64_t arrive_ns;  // stop bit ends at the board's receive pin
    uint32_t baud;       // rate the peer sent it at
    uint8_t value;
};

struct Uart {
    bool enabled;
    uint32_t divisor64;    // IBRD * 64 + FBRD, as the SDK wrote them
    uint32_t baud;         // actual rate
    uint64_t byte_ns_x64;  // 10 bit times, in 1/64 ns
    // transmit side
    uint8_t tx_fifo[kUartFifoDepth];
    unsigned tx_head, tx_count;
    bool shifting;
    uint64_t shift_end_ns;
    uint64_t tx_total;  // bytes ever sent; the log keeps the last kUartTxLogSize
    TxByte tx_log[kUartTxLogSize];
    // receive side
    uint8_t rx_fifo[kUartFifoDepth];
    unsigned rx_head, rx_count;
    uint64_t rx_overruns;
    uint64_t rx_garbled;
    WireByte wire[kUartWireSize];
    uint64_t wire_head, wire_tail;  // absolute indices
    uint64_t wire_free_ns;          // when the peer's transmitter is free again
};

struct Watchdog {
    bool enabled;
    uint32_t tick_cycles;
    uint64_t load_us;
    uint64_t deadline_ns;
    bool reboot_pending;  // watchdog_reboot() scheduled a restart
    uint64_t feeds;
};

enum class FwState : uint8_t { Off, Running, Yielded, Rebooting, Halted, Crashed };

enum class ResetCause : uint8_t { PowerOn, Watchdog, Reboot, UsbBoot };

struct BoardEvent {
    uint64_t t_ns;
    ResetCause cause;
    uint32_t arg0, arg1;
};
constexpr size_t kBoardEventLogSize = 256;

struct Board {
    uint64_t now_ns;
    uint64_t next_event_ns;
    uint64_t limit_ns;  // the firmware yields to the host when its clock gets here
    FwState fw_state;

    // boot
    uint32_t boots;
    uint32_t xosc_hz;
    uint32_t sys_clock_hz;
    uint32_t peri_clock_hz;
    bool stdio_ready;
    bool stdio_last_cr;
    uint32_t stack_depth;  // how far below __StackTop the simulated stack pointer is
    uint64_t sdk_calls;

    Pin pins[kGpioCount];
    uint64_t pin_log_total;
    PinEvent pin_log[kPinLogSize];

    Uart uart[kUartCount];
    Watchdog watchdog;

    uint64_t events_total;
    BoardEvent events[kBoardEventLogSize];
    char halt_message[256];
    uint64_t freeze_ns;  // the next SDK call hangs this long (a stuck peripheral)

    // The idle clock jump (idle.cpp): changes of any device's state, and the
    // jumps made.
    uint64_t idle_changes;
    uint64_t idle_jumps;
    uint64_t idle_jumped_ns;

    sem_t to_firmware;
    sem_t to_host;
};

// The one board; mapped on first use so that it is shared with every child.
Board &board();

// True in the child process that runs the firmware of one boot; false in a
// test that calls firmware code directly.
extern bool in_firmware_child;

// Power-on state of every device (flash and the peers' side excepted).
void board_power_on_reset();
// The firmware's variables: keep() takes their initial values (before any
// firmware code runs), restore() puts them back, as a reset does on the chip.
void firmware_ram_keep();
void firmware_ram_restore();
// The board as a new process has it: every device, the flash, the clock, the
// logs and the peers' side of the wires and pins, as from the factory. The
// firmware must not be running.
void board_fresh();

// Firmware side ----------------------------------------------------------------

// Charges one SDK call's CPU time.
void charge();
// Moves the clock to t, running every device event due on the way.
void advance_to(uint64_t t_ns);
// Advances until `done` holds, event by event; a wait that nothing can end is a hang.
template <typename F>
void wait_until(F done);
// Recomputes the time of the next device event after a state change (which
// it counts as a change for the idle clock jump unless told otherwise).
void reschedule(bool change = true);
// The next device event, the watchdog's time-out aside.
uint64_t next_event_but_watchdog();
// The idle clock jump (idle.cpp): a watchdog feed from the call site `pc`,
// and a deadline the firmware found not yet reached.
void idle_feed(const void *pc);
void idle_deadline_checked(uint64_t deadline_ns);
// Restarts the board: the firmware of this boot stops here.
[[noreturn]] void board_reset(ResetCause cause, uint32_t arg0 = 0, uint32_t arg1 = 0);
// Stops the processor for good (panic).
[[noreturn]] void board_halt(const char *message);

// Hands control to the host until the limit is raised past the current time.
void yield_to_host();
// Tells the host the firmware's state and waits until it hands control back.
void hand_over(FwState state);

// Device hooks called by the clock.
uint64_t uart_next_event_ns(const Uart &u);
void uart_fire(unsigned index, uint64_t now_ns);
void uart_set_rate(unsigned index, uint32_t baud);
// clk_peri has changed: every UART's divisor now gives another rate.
void uart_clock_changed();
uint32_t pin_levels();
bool pin_level(unsigned pin);
void pin_log_change(unsigned pin, bool before);
void record_event(ResetCause cause, uint32_t arg0, uint32_t arg1);

// Raised in a test process that runs firmware code directly (no child).
struct ResetException {
    ResetCause cause;
};
struct HaltException {
    const char *message;
};

template <typename F>
void wait_until(F done) {
    Board &b = board();
    while (!done()) {
        if (b.next_event_ns == kNever) board_halt("firmware waits for an event that never comes");
        advance_to(b.next_event_ns);
    }
}

}  // namespace vb
