// A live web page served on 127.0.0.1: the page's files from a directory,
// its state (JSON), the log and sound through server-sent events, and its
// commands (one line each) to the caller. The virtual board's page
// (sim/web/index.html, its state from sim/cabinet/page_state.cpp) and the
// fleet's (sim/web/fleet.html, sim/fleet/live_page.cpp) are served by it.
//
// The server runs in threads of its own and never touches the boards: the
// main loop hands it what the page shows (web_state, web_sound, web_log) and
// takes the page's commands (web_commands).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim {

constexpr unsigned kWebDefaultPort = 8040;
// The page's state is sent at most this often.
constexpr auto kWebStateEvery = std::chrono::milliseconds(40);
constexpr size_t kWebSoundKept = 32000;  // two seconds at 16 kHz
// Connections are answered by this many threads: room for every event stream
// and for slow clients beside the page's own requests.
constexpr unsigned kWebWorkers = 96;
// Event streams open at once; one more is answered 503 (an EventSource tries
// again). The server answers 127.0.0.1 only, so every client has the same
// address and a cap per address would be this one.
constexpr unsigned kWebStreams = 16;
// A connection must deliver each request whole within this time of its
// acceptance (or of the previous answer on a kept-alive one), or it is closed;
// a client that stalls a write that long loses its connection too.
constexpr auto kWebRequestTime = std::chrono::seconds(5);

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
// Hands the page sound: 16 kHz samples, appended to what it has (the last
// kWebSoundKept are kept for a page that connects).
void web_sound(const std::vector<int16_t> &samples);
// The server runs (web_start succeeded, web_stop not yet called).
bool web_running();
// The commands the page sent since the last call, oldest first.
std::vector<std::string> web_commands();
// Hands a line of the log to the page.
void web_log(const std::string &line);
void web_stop();
// `text` as a JSON string, quoted.
std::string web_json_string(const std::string &text);

}  // namespace sim
