#include "watch.h"

#include <cstdio>
#include <string>
#include <vector>

#include "flash_file.h"
#include "log.h"
#include "page_state.h"
#include "screen_pty.h"
#include "usb_pty.h"
#include "vcd.h"

namespace sim {

void Watch::after_slice() {
    usb_pty_step();
    screen_pty_step();
    if (!cabinet_.built_in_screen && !screen_pty_status().empty()) cabinet_.status = screen_pty_status();
    for (const peers::Line &line : reader_.poll()) show_line(line);
    if (screen_fw_ != nullptr) {
        for (; answers_shown_ < screen_fw_->answered().size(); answers_shown_++) {
            show(screen_fw_->answer_arrivals()[answers_shown_], "screen->board", "frame",
                 ">>>" + screen_fw_->answered()[answers_shown_]);
        }
    }
    if (vb::boots() != boots_seen_) {
        boots_seen_ = vb::boots();
        log_note(vb::now_ns(), "--- board restarted (boot " + std::to_string(boots_seen_) + ")");
    }
    if (cabinet_.board_state.empty() && vb::firmware_state() == vb::FwState::Halted) stopped();
    outputs_.poll();
    cabinet_.radio.poll();
    cabinet_.follow_clip();
    flash_file_sync();
    vcd_step();
    log_flush(vb::now_ns());
    page_step(cabinet_.status, cabinet_.report, cabinet_.board_state);
}

void Watch::show_line(const peers::Line &line) {
    if (!line.frame) {
        show(line.end_ns, "board->screen", "console", line.text);
    } else if (line.check_ok) {
        show(line.end_ns, "board->screen", "frame", line.text);
        if (line.payload.compare(0, 1, "D") == 0) cabinet_.report = line.payload;
    } else {
        char check[8];
        snprintf(check, sizeof check, "%04X", peers::crc16_modbus(line.payload));
        show(line.end_ns, "board->screen", "corrupt",
             line.text + "  (wrong check value: the payload's is " + check + ")");
    }
}

void Watch::stopped() {
    const std::vector<vb::BoardEvent> events = vb::board_events();
    const bool boot_loader = !events.empty() && events.back().cause == vb::ResetCause::UsbBoot;
    cabinet_.board_state = boot_loader ? "in the USB boot loader" : "stopped: " + vb::halt_message();
    log_note(vb::now_ns(),
                  boot_loader ? "--- the board has restarted into its USB boot loader (BOOTSEL): the firmware no "
                                "longer runs. `reset` or `power` starts it again (a real board: unplug and "
                                "plug it in, or picotool reboot)"
                              : "--- the firmware has stopped: " + vb::halt_message() +
                                    ". `reset` or `power` starts it again");
    vb::power_off();
}

}  // namespace sim
