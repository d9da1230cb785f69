// A live web page served on 127.0.0.1: the page's files from a directory,
// its state (JSON), the log and sound through server-sent events, and its
// commands (one line each) to the caller. The virtual board's page (sim/web/index.html)
// shows the strips pixel by pixel, the maglock, door, amplifier and sound (the
// I2S samples as 16 kHz PCM), the report the board sent last and the log; a
// fleet's page (sim/web/fleet.html) shows its cabinets and the air.
//
// The server runs in threads of its own and never touches the boards: the
// main loop hands it what the page shows (web_state, web_step, web_log) and
// takes the page's commands (web_commands).
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace sim {

constexpr unsigned kWebDefaultPort = 8040;
// The page's state is sent at most this often.
constexpr auto kWebStateEvery = std::chrono::milliseconds(40);

// The page: `index` at `/`, and the files beside it by their names (letters,
// digits, `-` and `_`, ending in .html, .js or .css).
struct WebSite {
    std::string dir;
    std::string index = "index.html";
};

// Binds 127.0.0.1:port and serves from then on; false when the port is taken.
// `command_error` says why a line is not a command ("" when it is one); the
// page's request is refused with that reason.
bool web_start(unsigned port, const WebSite &site, std::function<std::string(const std::string &line)> command_error);
// Hands the page its state: `json` is called only when a state is due (at
// most every kWebStateEvery), and a state like the last one is not sent again.
void web_state(const std::function<std::string()> &json);
// The virtual board's state, after every slice of board time: `payload` is the
// status payload the screen unit sent last, `report` the board's last input
// report, `board` "" while the firmware runs, or what the board does instead
// ("in the USB boot loader"); the board's pins and sound are read here.
void web_step(const std::string &payload, const std::string &report, const std::string &board);
// The commands the page sent since the last call, oldest first.
std::vector<std::string> web_commands();
// Hands a line of the log to the page.
void web_log(const std::string &line);
void web_stop();
// `text` as a JSON string, quoted.
std::string web_json_string(const std::string &text);

}  // namespace sim
