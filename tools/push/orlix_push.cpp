// orlix-push: sends a screen firmware image through the console of an
// orlix-fw-io board (its USB serial port, e.g. /dev/ttyACM0) or of the
// virtual board (the pseudo-terminal orlix-sim shows), and exits with the
// board's final word.
//
// The console takes "FWUP <size>" ended by a single line end, answers START,
// then reads the image as raw bytes as fast as the bridge to the screen unit
// drains it (USB flow control holds the sender back), and ends with one of
// DONE, FAIL, NORESP or TIMEOUT.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "take_rate.h"

namespace {

// Exit statuses: the board's words first, then what went wrong on this side.
enum Exit : int {
    kDone = 0,
    kFail = 1,
    kNoResp = 2,
    kTimeout = 3,
    kNoStart = 4,     // the board did not answer the command with START
    kNoWord = 5,      // the port closed, or the board fell silent, before its final word
    kInterrupted = 6, // stopped by a signal; the board ends the session 15 s later
    kUsage = 64,      // also a PORT that is not a terminal
    kBadImage = 65,   // empty or larger than 4 GiB - 1
    kNoImage = 66,
    kPortError = 74,
};

constexpr size_t kWriteChunk = 4096;
constexpr size_t kReadChunk = 256;
constexpr size_t kMaxLine = 256;
constexpr uint64_t kMaxImage = 0xFFFFFFFFu;  // the size field of "FWUP" is 32 bits
// Longer waits than a day are a typing error, not a plan (and inf or nan
// would end the wait at once).
constexpr double kMaxTimeoutS = 86400;
constexpr int kBarWidth = 30;
constexpr auto kBarEvery = std::chrono::milliseconds(100);
constexpr int kLinePercentStep = 10;
// A port without room for this long is held back by the board, not filling.
constexpr auto kFullWait = std::chrono::milliseconds(20);

using Clock = std::chrono::steady_clock;

volatile sig_atomic_t interrupted = 0;

void on_signal(int) {
    interrupted = 1;
}

struct Options {
    const char *port = nullptr;
    const char *image = nullptr;
    double start_timeout_s = 3;
    double end_timeout_s = 30;  // the board itself gives up 15 s after the last byte
    bool quiet = false;
};

void usage(FILE *to) {
    fprintf(to,
            "usage: orlix-push [-q] [--start-timeout S] [--timeout S] PORT IMAGE\n"
            "  PORT   the board's USB serial port (e.g. /dev/ttyACM0) or the virtual board's pseudo-terminal;\n"
            "         anything that is not a terminal is refused and left untouched\n"
            "  IMAGE  the screen unit's firmware image\n"
            "  -q     no progress\n"
            "  --start-timeout S  wait this long for START (default 3)\n"
            "  --timeout S        wait this long for the final word after the last byte (default 30)\n"
            "                     (S: seconds, above 0 and at most 86400)\n"
            "exit status: 0 DONE, 1 FAIL, 2 NORESP, 3 TIMEOUT, 4 no START, 5 no final word,\n"
            "             6 interrupted, 64 usage or PORT not a terminal, 65 empty or oversized image,\n"
            "             66 image unreadable, not a regular file, or changed while sent, 74 port error\n");
}

bool parse_seconds(const char *text, double *out) {
    char *end = nullptr;
    const double v = strtod(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(v) || v <= 0 || v > kMaxTimeoutS) return false;
    *out = v;
    return true;
}

enum class Args { Run, Help, Bad };

Args parse_args(int argc, char **argv, Options *o) {
    std::vector<const char *> positional;
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        if (a == "-h" || a == "--help") return Args::Help;
        if (a == "-q" || a == "--quiet") {
            o->quiet = true;
        } else if ((a == "--start-timeout" || a == "--timeout") && i + 1 < argc) {
            if (!parse_seconds(argv[++i], a == "--timeout" ? &o->end_timeout_s : &o->start_timeout_s)) return Args::Bad;
        } else if (a.size() > 1 && a[0] == '-') {
            return Args::Bad;
        } else {
            positional.push_back(argv[i]);
        }
    }
    if (positional.size() != 2) return Args::Bad;
    o->port = positional[0];
    o->image = positional[1];
    return Args::Run;
}

void not_a_terminal(const char *path) {
    fprintf(stderr, "orlix-push: %s is not a terminal (a serial port such as /dev/ttyACM0 or a pseudo-terminal); "
            "nothing was written to it\n", path);
}

// A regular file, a directory or a pipe given as the port would have the
// command and the image written into it: only a terminal is opened.
enum class Port { Open, NotATerminal, Error };

// Raw bytes both ways: no echo, no line editing, no CR/LF translation.
Port open_port(const char *path, int *fd_out) {
    struct stat st{};
    if (stat(path, &st) != 0) {
        fprintf(stderr, "orlix-push: %s: %s\n", path, strerror(errno));
        return Port::Error;
    }
    if (!S_ISCHR(st.st_mode)) {
        not_a_terminal(path);
        return Port::NotATerminal;
    }
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        fprintf(stderr, "orlix-push: %s: %s\n", path, strerror(errno));
        return Port::Error;
    }
    if (!isatty(fd)) {  // a device such as /dev/null
        close(fd);
        not_a_terminal(path);
        return Port::NotATerminal;
    }
    termios t{};
    if (tcgetattr(fd, &t) != 0) {
        fprintf(stderr, "orlix-push: %s: %s\n", path, strerror(errno));
        close(fd);
        return Port::Error;
    }
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        fprintf(stderr, "orlix-push: %s: %s\n", path, strerror(errno));
        close(fd);
        return Port::Error;
    }
    tcflush(fd, TCIFLUSH);  // words left over from an earlier session
    *fd_out = fd;
    return Port::Open;
}

// The board's answer lines, as they come.
class Lines {
public:
    explicit Lines(int fd) : fd_(fd) {}
    // Reads what is there; false once the port is gone.
    bool read_some() {
        char buf[kReadChunk];
        for (;;) {
            const ssize_t n = read(fd_, buf, sizeof buf);
            if (n > 0) {
                for (ssize_t i = 0; i < n; i++) take(buf[i]);
                continue;
            }
            if (n == 0) return false;
            if (errno == EINTR) continue;
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
    }
    bool next(std::string *line) {
        if (done_.empty()) return false;
        *line = done_.front();
        done_.erase(done_.begin());
        return true;
    }

private:
    void take(char c) {
        if (c == '\n') {
            done_.push_back(partial_);
            partial_.clear();
        } else if (c != '\r' && partial_.size() < kMaxLine) {
            partial_.push_back(c);
        }
    }
    int fd_;
    std::string partial_;
    std::vector<std::string> done_;
};

int word_status(const std::string &word) {
    if (word == "DONE") return kDone;
    if (word == "FAIL") return kFail;
    if (word == "NORESP") return kNoResp;
    if (word == "TIMEOUT") return kTimeout;
    return -1;
}

double seconds_now() {
    return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

// Progress on standard error: a bar on a terminal, plain lines otherwise.
// The rate and the time left are the board's (see take_rate.h): unknown
// ("--") until the buffers in between have filled.
class Progress {
public:
    Progress(size_t total, bool quiet) : total_(total), quiet_(quiet), bar_(isatty(STDERR_FILENO) != 0) {}

    void start() {
        rate_.start(seconds_now());
        last_shown_ = Clock::now() - kBarEvery;
    }

    // The port takes bytes again after refusing them.
    void resumed(size_t sent) {
        rate_.resumed(seconds_now(), sent);
    }

    void update(size_t sent, bool final_update = false) {
        if (quiet_) return;
        const auto now = Clock::now();
        const int percent = static_cast<int>(100.0 * static_cast<double>(sent) / static_cast<double>(total_));
        if (bar_) {
            if (!final_update && now - last_shown_ < kBarEvery) return;
            last_shown_ = now;
            std::string bar(static_cast<size_t>(kBarWidth * percent / 100), '#');
            bar.resize(kBarWidth, '.');
            fprintf(stderr, "\r[%s] %3d%%  %zu/%zu bytes  %s KiB/s  %s left ", bar.c_str(), percent, sent, total_,
                    rate_text(7).c_str(), left_text().c_str());
            if (final_update) fputc('\n', stderr);
            fflush(stderr);
            return;
        }
        if (sent == shown_sent_ || (!final_update && percent < next_percent_)) return;
        while (next_percent_ <= percent) next_percent_ += kLinePercentStep;
        shown_sent_ = sent;
        fprintf(stderr, "orlix-push: %zu/%zu bytes (%d%%), %s KiB/s, %s left\n", sent, total_, percent,
                rate_text(0).c_str(), left_text().c_str());
    }

private:
    std::string rate_text(int width) const {
        char text[32];
        if (rate_.known()) {
            snprintf(text, sizeof text, "%*.1f", width, rate_.rate() / 1024);
        } else {
            snprintf(text, sizeof text, "%*s", width, "--");
        }
        return text;
    }

    std::string left_text() const {
        if (!rate_.known()) return "-:--";
        const long s = static_cast<long>(rate_.left(seconds_now(), total_) + 0.5);
        char text[32];
        snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
        return text;
    }

    size_t total_;
    bool quiet_;
    bool bar_;
    TakeRate rate_;
    Clock::time_point last_shown_{};
    size_t shown_sent_ = SIZE_MAX;
    int next_percent_ = kLinePercentStep;
};

// The image is sent as it is read, a chunk at a time, so that its size is
// known before "FWUP" and a large one is never held in memory: only a
// regular file will do (a device such as /dev/zero or a pipe has no size to
// announce). Opened without blocking, so that a FIFO with no writer is
// refused at once rather than waited on.
struct Image {
    int fd = -1;
    uint64_t size = 0;
};

enum class ImageOpen { Open, Unreadable, BadSize };

ImageOpen open_image(const char *path, Image *image) {
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st{};
    if (fd < 0 || fstat(fd, &st) != 0) {
        fprintf(stderr, "orlix-push: cannot read %s: %s\n", path, strerror(errno));
        if (fd >= 0) close(fd);
        return ImageOpen::Unreadable;
    }
    if (!S_ISREG(st.st_mode)) {
        fprintf(stderr, "orlix-push: cannot read %s: %s\n", path,
                S_ISDIR(st.st_mode) ? strerror(EISDIR) : "not a regular file (its size must be known before sending)");
        close(fd);
        return ImageOpen::Unreadable;
    }
    image->fd = fd;
    image->size = static_cast<uint64_t>(st.st_size);
    if (image->size == 0 || image->size > kMaxImage) {
        fprintf(stderr, "orlix-push: %s: the image must hold 1 to %llu bytes\n", path,
                static_cast<unsigned long long>(kMaxImage));
        return ImageOpen::BadSize;
    }
    return ImageOpen::Open;
}

// The image's next bytes from `offset`: up to `want`, and fewer only where the
// file ended early (it was cut while being sent). False on a read error.
bool read_image_at(const Image &image, uint64_t offset, uint8_t *buf, size_t want, size_t *got) {
    *got = 0;
    while (*got < want) {
        const ssize_t n = pread(image.fd, buf + *got, want - *got, static_cast<off_t>(offset + *got));
        if (n > 0) {
            *got += static_cast<size_t>(n);
        } else if (n == 0) {
            return true;
        } else if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

// The final word, and on stderr what it most likely means. `all_sent`: the
// whole image had gone into the port.
int final_word(const std::string &word, int status, bool all_sent) {
    printf("%s\n", word.c_str());
    switch (status) {
    case kFail:
        fprintf(stderr, "orlix-push: FAIL: the screen unit refused the image (its completion answer carried an error code)\n");
        break;
    case kNoResp:
        fprintf(stderr, "orlix-push: NORESP: no answer from the screen unit (the board gave up after its retries)\n");
        break;
    case kTimeout:
        fprintf(stderr, "orlix-push: TIMEOUT: the board took no image byte for 15 s: %s\n",
                all_sent ? "no answer from the screen unit in time to finish the relay"
                         : "no answer from the screen unit, or the host stopped sending (another program on the port, "
                           "or the port lost DTR)");
        break;
    default:
        break;
    }
    return status;
}

bool write_all(int fd, const std::string &text) {
    size_t off = 0;
    while (off < text.size()) {
        const ssize_t n = write(fd, text.data() + off, text.size() - off);
        if (n > 0) {
            off += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{fd, POLLOUT, 0};
            poll(&p, 1, 100);
        } else {
            return false;
        }
    }
    return true;
}

Clock::time_point after(double seconds) {
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// Waits until `end` for a line; the board's words are single lines.
enum class Wait { Line, Timeout, Closed, Interrupted };

Wait wait_line(int fd, Lines &lines, Clock::time_point end, std::string *line) {
    for (;;) {
        if (lines.next(line)) return Wait::Line;
        if (interrupted) return Wait::Interrupted;
        const auto now = Clock::now();
        if (now >= end) return Wait::Timeout;
        pollfd p{fd, POLLIN, 0};
        const int ms = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count()) + 1;
        if (poll(&p, 1, ms) < 0 && errno != EINTR) return Wait::Closed;
        if ((p.revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !lines.read_some()) {
            return lines.next(line) ? Wait::Line : Wait::Closed;
        }
    }
}

int push(int fd, const Image &image, const Options &o) {
    Lines lines(fd);
    std::string line;

    // A single line end: after it, every byte is image data.
    if (!write_all(fd, "FWUP " + std::to_string(image.size) + "\n")) {
        fprintf(stderr, "orlix-push: %s: %s\n", o.port, strerror(errno));
        return kPortError;
    }
    const auto start_end = after(o.start_timeout_s);
    for (;;) {
        const Wait w = wait_line(fd, lines, start_end, &line);
        if (w == Wait::Interrupted) return kInterrupted;
        if (w != Wait::Line) {
            fprintf(stderr, "orlix-push: the board did not start the transfer%s\n",
                    w == Wait::Closed ? " (port closed)" : "");
            return kNoStart;
        }
        if (line == "START") break;
        // Anything else is left over from before; a final word here belongs to an earlier session.
    }

    Progress progress(image.size, o.quiet);
    progress.start();
    uint64_t sent = 0;
    // The chunk read from the image and not yet all taken by the port.
    uint8_t chunk[kWriteChunk];
    size_t chunk_len = 0;
    size_t chunk_at = 0;
    // Since when the port has had no room; while the buffers still fill, room
    // comes back within a USB frame or two, once they are full only when the
    // board has relayed a window.
    bool full = false;
    Clock::time_point full_since{};
    const auto port_full = [&](Clock::time_point since) {
        if (!full) full_since = since;
        full = true;
    };
    while (sent < image.size) {
        if (interrupted) return kInterrupted;
        pollfd p{fd, POLLIN | POLLOUT, 0};
        const auto polled = Clock::now();
        if (poll(&p, 1, 100) < 0 && errno != EINTR) return kPortError;
        if ((p.revents & POLLOUT) == 0 || Clock::now() - polled >= kFullWait) port_full(polled);
        if ((p.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            const bool open = lines.read_some();
            while (lines.next(&line)) {
                const int status = word_status(line);
                if (status < 0) continue;
                // The session ended early: stop sending at once.
                progress.update(sent, true);
                return final_word(line, status, false);
            }
            if (!open) {
                progress.update(sent, true);
                fprintf(stderr, "orlix-push: the port closed\n");
                return kNoWord;
            }
        }
        if ((p.revents & POLLOUT) != 0) {
            if (chunk_at == chunk_len) {
                const size_t want = static_cast<size_t>(std::min<uint64_t>(kWriteChunk, image.size - sent));
                const bool read = read_image_at(image, sent, chunk, want, &chunk_len);
                if (!read || chunk_len < want) {
                    progress.update(sent, true);
                    fprintf(stderr, "orlix-push: %s: %s; the board gives up 15 s after the last byte\n", o.image,
                            read ? "the file became shorter while it was sent" : strerror(errno));
                    return kNoImage;
                }
                chunk_at = 0;
            }
            const size_t n = chunk_len - chunk_at;
            const ssize_t w = write(fd, chunk + chunk_at, n);
            if (w > 0) {
                chunk_at += static_cast<size_t>(w);
                if (full && Clock::now() - full_since >= kFullWait) progress.resumed(sent);
                full = false;
                sent += static_cast<size_t>(w);
                if (static_cast<size_t>(w) < n) port_full(Clock::now());
            } else if (w < 0 && errno == EAGAIN) {
                port_full(Clock::now());
            } else if (w < 0 && errno != EINTR) {
                progress.update(sent, true);
                fprintf(stderr, "orlix-push: %s: %s\n", o.port, strerror(errno));
                return kPortError;
            }
        }
        progress.update(sent);
    }
    progress.update(sent, true);

    const auto word_end = after(o.end_timeout_s);
    for (;;) {
        const Wait w = wait_line(fd, lines, word_end, &line);
        if (w == Wait::Interrupted) return kInterrupted;
        if (w != Wait::Line) {
            fprintf(stderr, "orlix-push: no final word from the board%s\n", w == Wait::Closed ? " (port closed)" : "");
            return kNoWord;
        }
        const int status = word_status(line);
        if (status >= 0) return final_word(line, status, true);
    }
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    switch (parse_args(argc, argv, &o)) {
    case Args::Help:
        usage(stdout);
        return kDone;
    case Args::Bad:
        usage(stderr);
        return kUsage;
    case Args::Run:
        break;
    }
    Image image;
    switch (open_image(o.image, &image)) {
    case ImageOpen::Unreadable:
        return kNoImage;
    case ImageOpen::BadSize:
        return kBadImage;
    case ImageOpen::Open:
        break;
    }
    int fd = -1;
    switch (open_port(o.port, &fd)) {
    case Port::NotATerminal:
        return kUsage;
    case Port::Error:
        return kPortError;
    case Port::Open:
        break;
    }

    struct sigaction sa{};
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    const int status = push(fd, image, o);
    if (status == kInterrupted) fprintf(stderr, "orlix-push: interrupted; the board gives up 15 s after the last byte\n");
    close(fd);
    close(image.fd);
    return status;
}
