// The virtual board's web page: one page (sim/web/) served on 127.0.0.1,
// live through server-sent events: the strips pixel by pixel, the maglock,
// door, amplifier and sound (the I2S samples as 16 kHz PCM), the report the
// board sent last and the log; its buttons and payload field send commands.
//
// The server runs in threads of its own and never touches the board: the
// main loop hands it what the page shows (web_step) and takes the page's
// commands (web_commands).
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace sim {

constexpr unsigned kWebDefaultPort = 8040;
// The page's state is sent at most this often.
constexpr auto kWebStateEvery = std::chrono::milliseconds(40);

// Binds 127.0.0.1:port and serves from then on; false when the port is taken.
// `command_error` says why a line is not a command ("" when it is one); the
// page's request is refused with that reason.
bool web_start(unsigned port, std::function<std::string(const std::string &line)> command_error);
// Called after every slice of board time: `payload` is the status payload the
// screen unit sent last, `report` the board's last input report, `board` ""
// while the firmware runs, or what the board does instead ("in the USB boot loader").
void web_step(const std::string &payload, const std::string &report, const std::string &board);
// The commands the page sent since the last call, oldest first.
std::vector<std::string> web_commands();
// Hands a line of the log to the page.
void web_log(const std::string &line);
void web_stop();

}  // namespace sim
