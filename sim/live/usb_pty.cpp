#include "usb_pty.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "pty.h"
#include "log.h"
#include "vboard.h"
#include "vboard_usb.h"

namespace sim {

namespace {

// The host stops taking bytes from the program while this many wait for the
// board, so that a program writing faster than the board reads is held back.
constexpr size_t kHostQueueLimit = 4096;
constexpr size_t kReadChunk = 1024;

int master = -1;
bool terminal_open = false;
size_t delivered = 0;     // bytes of the host's received log passed to the program
std::string to_program;  // read from the board, not yet taken by the program
// The console's lines in the log: the program's (an image after FWUP counted
// as a whole, not shown) and the board's.
std::string host_line, board_line;
uint64_t image_left = 0, image_size = 0;

void show_host_bytes(std::string_view bytes) {
    for (const char c : bytes) {
        if (image_left > 0) {
            if (--image_left == 0) {
                log_line(vb::now_ns(), "host->board", "image", std::to_string(image_size) + " bytes");
            }
            continue;
        }
        if (c != '\n' && host_line.size() < 200) {
            host_line.push_back(c);
            continue;
        }
        if (host_line.rfind("FWUP ", 0) == 0) image_size = image_left = strtoull(host_line.c_str() + 5, nullptr, 10);
        log_line(vb::now_ns(), "host->board", "console", printable(host_line));
        host_line.clear();
    }
}

void show_board_bytes(const std::string &bytes) {
    for (const char c : bytes) {
        if (c != '\n' && board_line.size() < 200) {
            board_line.push_back(c);
            continue;
        }
        log_line(vb::now_ns(), "board->host", "console", printable(board_line));
        board_line.clear();
    }
}

void from_program() {
    char buf[kReadChunk];
    while (vb::usb::unsent() < kHostQueueLimit) {
        const ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) return;  // nothing more for now, or nobody has it open
        vb::usb::write(std::string_view(buf, static_cast<size_t>(n)));
        show_host_bytes(std::string_view(buf, static_cast<size_t>(n)));
    }
}

void to_program_flush() {
    const size_t total = vb::usb::received_count();
    if (total > delivered) {
        const std::string bytes = vb::usb::received(delivered);
        show_board_bytes(bytes);
        to_program += bytes;
        delivered = total;
    }
    while (!to_program.empty()) {
        const ssize_t n = write(master, to_program.data(), to_program.size());
        if (n <= 0) break;
        to_program.erase(0, static_cast<size_t>(n));
    }
    // A program that does not read holds the board back, as a real port would.
    vb::usb::pause_reader(!to_program.empty());
}

// The program closed the port: what it wrote and the host had not yet taken
// goes with the port, as an OS drops it, and never reaches the next program's
// connection.
void drop_unsent() {
    char buf[kReadChunk];
    while (read(master, buf, sizeof buf) > 0) {
    }
}

}  // namespace

std::string usb_pty_open() {
    const std::string name = pty_open_raw(&master, 115200);
    if (name.empty()) return {};
    delivered = vb::usb::received_count();
    vb::usb::plug();
    return name;
}

void usb_pty_step() {
    if (master < 0) return;
    const bool open_now = pty_in_use(master);
    if (open_now != terminal_open) {
        terminal_open = open_now;
        if (open_now) {
            vb::usb::open_terminal();
        } else {
            vb::usb::close_terminal();
            to_program.clear();
            drop_unsent();
        }
    }
    if (!terminal_open) {
        delivered = vb::usb::received_count();
        return;
    }
    from_program();
    to_program_flush();
}

void usb_pty_close() {
    if (master < 0) return;
    close(master);
    master = -1;
}

}  // namespace sim
