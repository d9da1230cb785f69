#include "vboard.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "vboard_usb.h"

extern "C" int vb_firmware_main(void);
extern "C" uint8_t __StackBottom[];

namespace vb {

namespace {

pid_t child = -1;
std::vector<std::function<void()>> peers;

void kill_child() {
    if (child <= 0) return;
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    child = -1;
}

[[noreturn]] void firmware_child() {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    in_firmware_child = true;
    Board &b = board();
    while (sem_wait(&b.to_firmware) != 0) {
    }
    b.fw_state = FwState::Running;
    firmware_ram_restore();
    vb_firmware_main();
    board_halt("main() returned");
}

void boot() {
    board_power_on_reset();
    Board &b = board();
    b.boots++;
    b.fw_state = FwState::Running;
    fflush(nullptr);
    child = fork();
    if (child < 0) throw std::runtime_error("virtual board: fork failed");
    if (child == 0) firmware_child();
}

// A child that dies also wakes the host (sem_post is safe in a signal
// handler), so that a crash is noticed at once rather than waited for.
void on_child_exit(int) {
    const int saved = errno;
    sem_post(&board().to_host);
    errno = saved;
}

void watch_children() {
    struct sigaction action {};
    action.sa_handler = on_child_exit;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_NOCLDSTOP;
    sigaction(SIGCHLD, &action, nullptr);
}

// Waits for the child to hand control back. Wake-ups that leave the state
// at Running (another child process ending, or an earlier one's signal)
// are not a hand-over; a firmware child that died instead crashed.
void wait_for_firmware() {
    Board &b = board();
    for (;;) {
        if (sem_wait(&b.to_host) != 0 && errno != EINTR) throw std::runtime_error("virtual board: sem_wait");
        if (b.fw_state != FwState::Running) return;
        int wstatus = 0;
        if (waitpid(child, &wstatus, WNOHANG) == child) {
            child = -1;
            b.fw_state = FwState::Crashed;
            throw std::runtime_error("virtual board: the firmware process died (status " +
                                     std::to_string(wstatus) + ")");
        }
    }
}

void run_slice(uint64_t t_ns) {
    Board &b = board();
    while (b.now_ns < t_ns) {
        if (child <= 0) {
            b.now_ns = t_ns;  // powered off, or stopped for good
            return;
        }
        b.limit_ns = t_ns;
        b.fw_state = FwState::Running;  // the child reports its next state itself
        sem_post(&b.to_firmware);
        wait_for_firmware();
        if (b.fw_state == FwState::Rebooting) {
            waitpid(child, nullptr, 0);
            child = -1;
            boot();
        }
    }
}

}  // namespace

void power_on() {
    kill_child();
    static bool registered = false;
    if (!registered) {
        registered = true;
        atexit(kill_child);
        watch_children();
    }
    record_event(ResetCause::PowerOn, 0, 0);
    board();
    firmware_ram_keep();  // before any boot has run firmware code
    memset(__StackBottom, 0, kStackSize);  // RAM comes up cleared in the simulation
    boot();
}

void reset_button() {
    kill_child();
    memset(__StackBottom, 0, kStackSize);
    boot();
}

void power_off() {
    kill_child();
    board().fw_state = FwState::Off;
}

void run_until_us(uint64_t t_us) {
    run_until_ns(t_us * 1000);
}

void run_until_ns(uint64_t end) {
    Board &b = board();
    if (peers.empty()) {
        run_slice(end);
        return;
    }
    while (b.now_ns < end) {
        run_slice(std::min(end, b.now_ns + kPeerSliceUs * 1000));
        for (auto &step : peers) step();
    }
}

void run_for_us(uint64_t us) {
    run_until_us(now_us() + us);
}

void run_for_ms(uint64_t ms) {
    run_for_us(ms * 1000);
}

bool run_until(const std::function<bool()> &done, uint64_t limit_us, uint64_t step_us) {
    const uint64_t end = now_us() + limit_us;
    while (!done()) {
        if (now_us() >= end) return false;
        run_until_us(std::min(end, now_us() + step_us));
    }
    return true;
}

FwState firmware_state() {
    return board().fw_state;
}

void add_peer(std::function<void()> step) {
    peers.push_back(std::move(step));
}

void clear_peers() {
    peers.clear();
}

void unit_setup() {
    kill_child();
    board_power_on_reset();
    board().limit_ns = kNever;
}

void fresh_board() {
    kill_child();
    clear_peers();
    usb::set_runner(nullptr);
    board_fresh();
}

void advance_us(uint64_t us) {
    advance_to(board().now_ns + us * 1000);
}

uint64_t now_us() {
    return board().now_ns / 1000;
}

uint64_t now_ns() {
    return board().now_ns;
}

uint32_t boots() {
    return board().boots;
}

std::vector<BoardEvent> board_events() {
    const Board &b = board();
    return log_kept(b.events, b.events_total);
}

void drive_pin(unsigned pin, bool level) {
    const bool before = pin_level(pin);
    Pin &p = board().pins[pin];
    p.ext_driven = true;
    p.ext_level = level;
    pin_log_change(pin, before);
}

void release_pin(unsigned pin) {
    const bool before = pin_level(pin);
    board().pins[pin].ext_driven = false;
    pin_log_change(pin, before);
}

bool level(unsigned pin) {
    return pin_level(pin);
}

size_t pin_event_count() {
    return board().pin_log_total;
}

std::vector<PinEvent> pin_events(size_t from) {
    const Board &b = board();
    return log_since(b.pin_log, b.pin_log_total, from, "pin events");
}

uint64_t wire_ns(size_t n, uint32_t baud) {
    return n * 10ull * 1000000000ull / baud;
}

void send_to_board(unsigned uart, std::string_view bytes, uint32_t baud) {
    Board &b = board();
    Uart &u = b.uart[uart];
    uint64_t t = std::max(u.wire_free_ns, b.now_ns);
    for (const char c : bytes) {
        if (u.wire_tail - u.wire_head == kUartWireSize) throw std::runtime_error("virtual board: wire queue full");
        t += wire_ns(1, baud);
        u.wire[u.wire_tail % kUartWireSize] = WireByte{t, baud, static_cast<uint8_t>(c)};
        u.wire_tail++;
    }
    u.wire_free_ns = t;
    reschedule();
}

size_t tx_count(unsigned uart) {
    return board().uart[uart].tx_total;
}

std::vector<TxByte> tx_bytes(unsigned uart, size_t from) {
    const Uart &u = board().uart[uart];
    return log_since(u.tx_log, u.tx_total, from, "transmitted bytes");
}

std::string tx_text(unsigned uart, size_t from) {
    std::string text;
    for (const TxByte &t : tx_bytes(uart, from)) text.push_back(static_cast<char>(t.value));
    return text;
}

uint64_t rx_overruns(unsigned uart) {
    return board().uart[uart].rx_overruns;
}

void set_xosc_hz(uint32_t hz) {
    board().xosc_hz = hz;
}

void set_stack_depth(uint32_t bytes) {
    board().stack_depth = bytes;
}

size_t stack_words() {
    return kStackSize / 4;
}

uint32_t stack_word(size_t index) {
    uint32_t w;
    memcpy(&w, __StackBottom + index * 4, 4);
    return w;
}

void freeze_next_call_us(uint64_t us) {
    board().freeze_ns = us * 1000;
}

std::string halt_message() {
    return board().halt_message;
}

}  // namespace vb
