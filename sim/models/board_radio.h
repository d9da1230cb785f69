// The board's own LoRa module on the air (air.h), wired to the simulated
// board's UART0 and mode pins.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "air.h"
#include "wiring.h"

namespace peers {

using wiring::kRadioAuxPin;
using wiring::kRadioBaud;
using wiring::kRadioM0Pin;
using wiring::kRadioM1Pin;
using wiring::kRadioUart;
// After a change of its mode lines the module is busy (AUX low) this long and
// ignores its serial input.
constexpr uint64_t kModeSwitchNs = 20000000;

// The board's module: wired to UART0 (16, 17), M1 on GPIO 20, M0 on GPIO 21
// and AUX on GPIO 22 (driven: low while the module is busy). In mode 2
// (configuration) it takes register commands at 9600 baud and answers them;
// in mode 0 (normal) it is transparent. A power cycle of the board restores
// the registers last written with the persistent command (C0), or the factory
// ones; the temporary command (C2) lasts until then.
class BoardRadio : public Radio {
public:
    explicit BoardRadio(Air &air);

    struct Command {
        uint64_t t_ns;  // end of its last byte
        std::string bytes;
        std::string answer;
    };
    std::vector<Command> commands;   // what the board sent in configuration mode
    uint64_t ignored_bytes = 0;      // sent while the module was busy, asleep, or beyond a command
    uint64_t garbled_bytes = 0;      // sent at another rate than the module's
    // The mode the lines select now.
    unsigned mode() const;
    // The board's power goes: what the module was collecting is lost.
    void power_off();
    // Packets are put on the air only at its steps; this one runs the module
    // alone (the fleet steps it at the end of every window).
    void step_module(uint64_t now_ns) { poll(now_ns); }
    // A packet from the air, delivered on the board's receive pin from now.
    void deliver(const std::string &bytes) { receive(0, bytes); }

protected:
    void poll(uint64_t now_ns) override;
    void receive(uint64_t t_ns, const std::string &bytes) override;

private:
    void power_cycle();
    void take_pin_events();
    void take_byte(uint64_t start_ns, uint64_t end_ns, uint32_t baud, uint32_t pins, uint8_t value);
    void end_input(uint64_t now_ns);
    void run_command(uint64_t t_ns);
    void drive_aux(uint64_t now_ns);

    ModuleSettings persistent_;
    size_t tx_next_ = 0;
    size_t pins_next_ = 0;
    size_t power_ons_ = 0;
    uint64_t ready_at_ns_ = 0;
    std::string input_;  // collected serial input (a packet or a command)
    bool input_is_command_ = false;
    uint64_t input_last_end_ns_ = 0;
    int aux_ = -1;
};

}  // namespace peers
