#include "log.h"

#include <cstdio>
#include <map>
#include <utility>

namespace sim {

namespace {

// Ordered by time; lines of equal time keep the order they came in.
std::multimap<uint64_t, std::string> held;
std::function<void(const std::string &)> tapped;
LogObserver observer;
bool fold = false;
std::map<std::string, std::string> last_frame;  // by direction

void print(const std::string &line) {
    fputs(line.c_str(), stdout);
    fputc('\n', stdout);
    if (tapped) tapped(line);
}

}  // namespace

void log_line(uint64_t t_ns, const std::string &direction, const std::string &kind, const std::string &text) {
    if (observer) observer(t_ns, direction, kind, text);
    if (kind == "frame") {
        std::string &last = last_frame[direction];
        if (fold && last == text) return;
        last = text;
    }
    char head[64];
    snprintf(head, sizeof head, "%10.3f ms  %-13s  %-7s ", static_cast<double>(t_ns) / 1e6, direction.c_str(),
             kind.c_str());
    held.emplace(t_ns, head + text);
}

void log_note(uint64_t t_ns, const std::string &text) {
    // After a note (a command, a restart) the next frames are shown even if unchanged.
    last_frame.clear();
    held.emplace(t_ns, text);
}

void log_flush(uint64_t now_ns) {
    if (held.empty()) return;
    const uint64_t due = now_ns > kHoldNs ? now_ns - kHoldNs : 0;
    auto it = held.begin();
    for (; it != held.end() && it->first <= due; ++it) print(it->second);
    if (it == held.begin()) return;
    held.erase(held.begin(), it);
    fflush(stdout);
}

void log_flush_all() {
    for (const auto &line : held) print(line.second);
    held.clear();
    fflush(stdout);
}

void log_set_observer(LogObserver o) {
    observer = std::move(o);
}

void log_fold_repeats(bool on) {
    fold = on;
}

void log_set_tap(std::function<void(const std::string &line)> tap) {
    tapped = std::move(tap);
}

std::string printable(const std::string &text) {
    std::string out;
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f) {
            out.push_back(c);
        } else if (c != '\r') {
            char esc[8];
            snprintf(esc, sizeof esc, "\\x%02X", static_cast<unsigned char>(c));
            out += esc;
        }
    }
    return out;
}

}  // namespace sim
