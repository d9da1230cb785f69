#include "web_server.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "script.h"

namespace sim {

namespace {

constexpr size_t kLogKept = 400;
constexpr size_t kAudioPerEvent = 8000;     // half a second
constexpr size_t kCommandsKept = 64;
constexpr auto kKeepAlive = std::chrono::seconds(1);
constexpr size_t kRequestsPerConnection = 100;
constexpr size_t kCommandBytes = 100;
constexpr size_t kBodyBytes = 4096;  // a longer body is refused by the library (413)
// A connection's waits are cut into steps this long, so that a server that
// stops does not wait for its clients.
constexpr int kWaitStepMs = 100;
constexpr int kBacklog = 128;  // connections accepted by the kernel, waiting for the server

struct Shared {
    std::mutex lock;
    std::condition_variable changed;
    bool stopping = false;
    std::string state;  // JSON
    uint64_t state_version = 0;
    std::deque<std::string> log;
    uint64_t log_base = 0;  // number of the line at log.front()
    std::deque<int16_t> audio;
    uint64_t audio_base = 0;
    std::vector<std::string> commands;
    unsigned streams = 0;  // event streams open
};

using Clock = std::chrono::steady_clock;

// One connection's socket as the server reads and writes it: a request must
// come whole by `deadline`, and a write must find room within kWebRequestTime.
class PageStream : public httplib::Stream {
public:
    PageStream(socket_t sock, const std::atomic<socket_t> &listening) : sock_(sock), listening_(listening) {}
    Clock::time_point deadline;

    // Waits until the socket is readable (true) or the deadline has passed.
    bool is_readable() const override { return wait(POLLIN, deadline); }
    bool is_writable() const override { return wait(POLLOUT, Clock::now() + kWebRequestTime); }
    ssize_t read(char *ptr, size_t size) override {
        if (!is_readable()) return -1;
        return recv(sock_, ptr, size, 0);
    }
    ssize_t write(const char *ptr, size_t size) override {
        if (!is_writable()) return -1;
        return send(sock_, ptr, size, MSG_NOSIGNAL);
    }
    void get_remote_ip_and_port(std::string &ip, int &port) const override { address(getpeername, ip, port); }
    void get_local_ip_and_port(std::string &ip, int &port) const override { address(getsockname, ip, port); }
    socket_t socket() const override { return sock_; }

private:
    bool wait(short events, Clock::time_point until) const {
        for (;;) {
            if (listening_ == INVALID_SOCKET) return false;  // the server stops
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
            if (left <= 0) return false;
            pollfd p{sock_, events, 0};
            const int n = poll(&p, 1, static_cast<int>(std::min<long long>(left, kWaitStepMs)));
            if (n > 0) return (p.revents & (events | POLLHUP | POLLERR)) != 0;
            if (n < 0 && errno != EINTR) return false;
        }
    }

    void address(int (*get)(int, sockaddr *, socklen_t *), std::string &ip, int &port) const {
        sockaddr_storage a{};
        socklen_t len = sizeof a;
        char text[INET6_ADDRSTRLEN] = "";
        port = 0;
        if (get(sock_, reinterpret_cast<sockaddr *>(&a), &len) != 0) return;
        if (a.ss_family == AF_INET) {
            const auto *in = reinterpret_cast<const sockaddr_in *>(&a);
            inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
            port = ntohs(in->sin_port);
        } else if (a.ss_family == AF_INET6) {
            const auto *in = reinterpret_cast<const sockaddr_in6 *>(&a);
            inet_ntop(AF_INET6, &in->sin6_addr, text, sizeof text);
            port = ntohs(in->sin6_port);
        }
        ip = text;
    }

    socket_t sock_;
    const std::atomic<socket_t> &listening_;
};

// The library's server, with connections that cannot hold a worker for long
// without sending their request (see PageStream).
class PageServer : public httplib::Server {
public:
    // The library listens with a backlog of 5: a burst of connections would
    // have the rest wait for their SYN to be sent again (1 s, 3 s, 7 s, ...).
    void widen_backlog() { ::listen(svr_sock_, kBacklog); }

private:
    bool process_and_close_socket(socket_t sock) override {
        PageStream stream(sock, svr_sock_);
        bool ok = false;
        for (size_t left = kRequestsPerConnection; left > 0; left--) {
            stream.deadline = Clock::now() + kWebRequestTime;
            if (!stream.is_readable()) break;
            bool closed = false;
            ok = process_request(stream, left == 1, closed, nullptr);
            if (!ok || closed) break;
        }
        shutdown(sock, SHUT_RDWR);
        close(sock);
        return ok;
    }
};

Shared shared;
PageServer server;
std::thread server_thread;
bool running = false;
// Main loop side.
std::chrono::steady_clock::time_point last_state;
std::string last_json;

}  // namespace

std::string web_json_string(const std::string &raw) {
    const std::string text = script::printable(raw);  // valid UTF-8, no control bytes
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char esc[8];
            snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned char>(c));
            out += esc;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

namespace {

std::string base64(const std::vector<int16_t> &samples) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string bytes;
    for (const int16_t s : samples) {
        bytes.push_back(static_cast<char>(s & 0xff));  // little-endian, as the page reads them
        bytes.push_back(static_cast<char>((s >> 8) & 0xff));
    }
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const size_t n = std::min<size_t>(3, bytes.size() - i);
        uint32_t v = 0;
        for (size_t k = 0; k < 3; k++) v = (v << 8) | (k < n ? static_cast<uint8_t>(bytes[i + k]) : 0);
        for (size_t k = 0; k < 4; k++) out += k <= n ? kAlphabet[(v >> (18 - 6 * k)) & 63] : '=';
    }
    return out;
}

// What one page has been sent so far.
struct Cursor {
    uint64_t state = 0, log = 0, audio = 0;
    bool audio_started = false;
};

// The next events for a page, waiting up to kKeepAlive for something new
// ("" when there is nothing; a comment then keeps the connection checked).
std::string next_events(Cursor &c) {
    std::unique_lock<std::mutex> hold(shared.lock);
    const auto news = [&c] {
        return shared.stopping || c.state != shared.state_version || c.log < shared.log_base + shared.log.size() ||
               c.audio < shared.audio_base + shared.audio.size();
    };
    shared.changed.wait_for(hold, kKeepAlive, news);
    if (!c.audio_started) {  // a page hears the sound from when it came
        c.audio = shared.audio_base + shared.audio.size();
        c.audio_started = true;
    }
    std::string out;
    if (c.state != shared.state_version) {
        out += "event: state\ndata: " + shared.state + "\n\n";
        c.state = shared.state_version;
    }
    if (c.log < shared.log_base) c.log = shared.log_base;
    if (c.log < shared.log_base + shared.log.size()) {
        std::string lines = "[";
        for (; c.log < shared.log_base + shared.log.size(); c.log++) {
            if (lines.size() > 1) lines += ',';
            lines += web_json_string(shared.log[c.log - shared.log_base]);
        }
        out += "event: log\ndata: " + lines + "]\n\n";
    }
    if (c.audio < shared.audio_base) c.audio = shared.audio_base;
    if (c.audio < shared.audio_base + shared.audio.size()) {
        const size_t from = c.audio - shared.audio_base;
        const size_t n = std::min(kAudioPerEvent, shared.audio.size() - from);
        const std::vector<int16_t> chunk(shared.audio.begin() + static_cast<long>(from),
                                         shared.audio.begin() + static_cast<long>(from + n));
        c.audio += n;
        out += "event: audio\ndata: " + base64(chunk) + "\n\n";
    }
    return out;
}

// An open event stream, counted while its response lives.
struct StreamSlot {
    StreamSlot() = default;
    StreamSlot(const StreamSlot &) = delete;
    StreamSlot &operator=(const StreamSlot &) = delete;
    ~StreamSlot() {
        std::lock_guard<std::mutex> hold(shared.lock);
        shared.streams--;
    }
};

// A slot for one more event stream, or none when kWebStreams are open.
std::shared_ptr<StreamSlot> take_stream_slot() {
    std::lock_guard<std::mutex> hold(shared.lock);
    if (shared.streams >= kWebStreams) return nullptr;
    shared.streams++;
    return std::make_shared<StreamSlot>();
}

void serve_events(httplib::Response &res) {
    auto slot = take_stream_slot();
    if (!slot) {
        res.status = 503;
        res.set_header("Retry-After", "5");
        res.set_content("too many event streams open", "text/plain; charset=utf-8");
        return;
    }
    res.set_header("Cache-Control", "no-cache");
    auto cursor = std::make_shared<Cursor>();
    res.set_chunked_content_provider("text/event-stream", [cursor, slot](size_t, httplib::DataSink &sink) {
        const std::string events = next_events(*cursor);
        {
            std::lock_guard<std::mutex> hold(shared.lock);
            if (shared.stopping) return false;
        }
        const std::string out = events.empty() ? std::string(":\n\n") : events;
        return sink.write(out.data(), out.size());
    });
}

void serve_file(httplib::Response &res, const std::string &dir, const std::string &name) {
    std::ifstream in(dir + "/" + name, std::ios::binary);
    if (!in) {
        res.status = 404;
        return;
    }
    std::ostringstream text;
    text << in.rdbuf();
    const std::string ext = name.substr(name.rfind('.') + 1);
    const char *type = ext == "html" ? "text/html; charset=utf-8"
                       : ext == "js" ? "text/javascript; charset=utf-8"
                                     : "text/css; charset=utf-8";
    res.set_content(text.str(), type);
}

// Commands come only from the page itself: another site open in the same
// browser may send requests to 127.0.0.1 too (its Origin says so), or reach
// it under a name of its own (the Host says so).
bool from_the_page(const httplib::Request &req, unsigned port) {
    const std::string p = ":" + std::to_string(port);
    const std::string host = req.get_header_value("Host");
    const std::string origin = req.get_header_value("Origin");
    const bool local_host = host == "127.0.0.1" + p || host == "localhost" + p;
    return local_host && (origin.empty() || origin == "http://" + host);
}

}  // namespace

bool web_start(unsigned port, const WebSite &site, std::function<std::string(const std::string &line)> command_error) {
    // Nothing is served under another name than the board's own (a page that
    // has rebound its own name to 127.0.0.1 would read the log), nor into a frame.
    server.set_pre_routing_handler([port](const httplib::Request &req, httplib::Response &res) {
        if (from_the_page(req, port)) return httplib::Server::HandlerResponse::Unhandled;
        res.status = 403;
        return httplib::Server::HandlerResponse::Handled;
    });
    server.set_default_headers({{"X-Frame-Options", "DENY"},
                                {"Content-Security-Policy",
                                 "default-src 'self'; object-src 'none'; base-uri 'none'; form-action 'none'; "
                                 "frame-ancestors 'none'"},
                                {"X-Content-Type-Options", "nosniff"}});
    server.Get("/", [site](const httplib::Request &, httplib::Response &res) { serve_file(res, site.dir, site.index); });
    // Only plain names: nothing outside the page's directory.
    server.Get(R"(/([A-Za-z0-9_-]+\.(html|js|css)))", [site](const httplib::Request &req, httplib::Response &res) {
        serve_file(res, site.dir, req.matches[1]);
    });
    server.Get("/favicon.ico", [](const httplib::Request &, httplib::Response &res) { res.status = 204; });
    server.Get("/events", [](const httplib::Request &, httplib::Response &res) { serve_events(res); });
    server.Post("/command", [command_error](const httplib::Request &req, httplib::Response &res) {
        if (req.body.size() > kCommandBytes || req.body.find_first_of("\r\n") != std::string::npos) {
            res.status = 400;
            res.set_content("not a command: one line of up to 100 characters", "text/plain; charset=utf-8");
            return;
        }
        const std::string error = command_error(req.body);
        if (!error.empty()) {
            res.status = 400;
            res.set_content(script::printable(error), "text/plain; charset=utf-8");
            return;
        }
        std::lock_guard<std::mutex> hold(shared.lock);
        if (shared.commands.size() >= kCommandsKept) {
            res.status = 503;
            res.set_content("too many commands waiting: try again", "text/plain; charset=utf-8");
            return;
        }
        shared.commands.push_back(req.body);
        res.status = 204;
    });
    server.new_task_queue = [] { return new httplib::ThreadPool(kWebWorkers); };
    server.set_payload_max_length(kBodyBytes);
    // Not the library's SO_REUSEPORT: a second virtual board must not share the port.
    server.set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    if (!server.bind_to_port("127.0.0.1", static_cast<int>(port))) return false;
    server.widen_backlog();
    server_thread = std::thread([] { server.listen_after_bind(); });
    running = true;
    return true;
}

void web_state(const std::function<std::string()> &make) {
    if (!running) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_state < kWebStateEvery) return;
    last_state = now;
    std::string json = make();
    if (json == last_json) return;
    last_json = json;
    std::lock_guard<std::mutex> hold(shared.lock);
    shared.state = std::move(json);
    shared.state_version++;
    shared.changed.notify_all();
}

void web_sound(const std::vector<int16_t> &samples) {
    if (!running || samples.empty()) return;
    std::lock_guard<std::mutex> hold(shared.lock);
    shared.audio.insert(shared.audio.end(), samples.begin(), samples.end());
    while (shared.audio.size() > kWebSoundKept) {
        shared.audio.pop_front();
        shared.audio_base++;
    }
    shared.changed.notify_all();
}

bool web_running() {
    return running;
}

std::vector<std::string> web_commands() {
    std::lock_guard<std::mutex> hold(shared.lock);
    std::vector<std::string> out;
    out.swap(shared.commands);
    return out;
}

void web_log(const std::string &line) {
    if (!running) return;
    std::lock_guard<std::mutex> hold(shared.lock);
    shared.log.push_back(line);
    while (shared.log.size() > kLogKept) {
        shared.log.pop_front();
        shared.log_base++;
    }
    shared.changed.notify_all();
}

void web_stop() {
    if (!running) return;
    {
        std::lock_guard<std::mutex> hold(shared.lock);
        shared.stopping = true;
        shared.changed.notify_all();
    }
    server.stop();
    server_thread.join();
    running = false;
}

}  // namespace sim
