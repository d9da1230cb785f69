#include "vboard_usb.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "vboard.h"

namespace vb::usb {

namespace {

constexpr uint64_t kRunStepUs = 100;

Runner &runner() {
    static Runner r;
    return r;
}

// The host's state changed from outside the board's clock: the board's next
// event may be sooner now.
void changed() {
    reschedule();
}

std::string bytes(const uint8_t *p, size_t n) {
    return std::string(reinterpret_cast<const char *>(p), n);
}

}  // namespace

void set_runner(Runner r) {
    runner() = std::move(r);
}

bool run_until(const std::function<bool()> &done, uint64_t limit_us) {
    if (runner()) return runner()(done, limit_us);
    return vb::run_until(done, limit_us, kRunStepUs);
}

void plug() {
    host().plugged = true;
    changed();
}

void unplug() {
    host().plugged = false;
    changed();
}

void suspend() {
    host().bus_suspended = true;
    changed();
}

void resume() {
    host().bus_suspended = false;
    changed();
}

void set_manual_configuration(bool manual) {
    host().manual_configuration = manual;
}

bool configured() {
    return host().configured;
}

bool enumeration_failed() {
    return host().step == EnumStep::Failed;
}

uint32_t enumerations() {
    return host().enumerations;
}

uint64_t detaches() {
    return host().detaches;
}

bool wait_enumerated(uint64_t limit_us) {
    run_until([] { return host().step == EnumStep::Done || host().step == EnumStep::Failed; }, limit_us);
    return host().step == EnumStep::Done && (host().configured || host().manual_configuration);
}

std::string device_descriptor() {
    return bytes(host().device_desc, host().device_desc_len);
}

std::string configuration_descriptor() {
    return bytes(host().config_desc, host().config_len);
}

std::string string_descriptor(uint8_t index) {
    if (index >= kStringSlots) return {};
    return bytes(host().strings[index], host().string_len[index]);
}

uint64_t submit_control(const Setup &setup, std::string_view out) {
    Host &h = host();
    if (h.request_pending) throw std::runtime_error("usb host: a control request is already waiting");
    if (out.size() > kControlDataMax) throw std::runtime_error("usb host: control data too long");
    ControlTransfer &t = h.request;
    const bool in = setup.request_type & kDirInMask;
    const uint16_t length = in ? setup.length : static_cast<uint16_t>(out.size());
    const uint8_t s[kSetupSize] = {setup.request_type,
                                   setup.request,
                                   static_cast<uint8_t>(setup.value),
                                   static_cast<uint8_t>(setup.value >> 8),
                                   static_cast<uint8_t>(setup.index),
                                   static_cast<uint8_t>(setup.index >> 8),
                                   static_cast<uint8_t>(length),
                                   static_cast<uint8_t>(length >> 8)};
    memcpy(t.setup, s, kSetupSize);
    if (!out.empty()) memcpy(t.data, out.data(), out.size());
    t.length = in ? 0 : length;
    t.sent = 0;
    t.outcome = Outcome::Pending;
    t.seq = ++h.request_seq;
    h.request_pending = true;
    changed();
    return t.seq;
}

bool control_done(uint64_t seq) {
    return host().reply_seq >= seq;
}

Reply reply(uint64_t seq) {
    const Host &h = host();
    if (h.reply_seq != seq) return Reply{Outcome::Pending, {}, 0};
    const bool in = h.reply.setup[0] & kDirInMask;
    return Reply{h.reply.outcome, in ? bytes(h.reply.data, h.reply.length) : std::string(), h.reply.done_ns};
}

Reply control(const Setup &setup, std::string_view out, uint64_t limit_us) {
    const uint64_t seq = submit_control(setup, out);
    run_until([seq] { return control_done(seq); }, limit_us);
    return reply(seq);
}

void open_terminal() {
    host().terminal_open = true;
    changed();
}

void close_terminal() {
    host().terminal_open = false;
    // The port closes: what the program wrote and the device has not taken goes with it.
    host().out_head = host().out_tail;
    changed();
}

void pause_reader(bool paused) {
    host().reader_paused = paused;
    changed();
}

bool dtr_applied() {
    return host().line_state_applied > 0 && (host().line_state_applied & 1);
}

void write(std::string_view data) {
    Host &h = host();
    if (h.out_tail - h.out_head + data.size() > kOutQueueSize) throw std::runtime_error("usb host: write queue full");
    for (const char c : data) {
        h.out_queue[h.out_tail % kOutQueueSize] = static_cast<uint8_t>(c);
        h.out_tail++;
    }
    changed();
}

size_t unsent() {
    return host().out_tail - host().out_head;
}

size_t received_count() {
    return host().in_total;
}

std::string received(size_t from) {
    const Host &h = host();
    if (h.in_total > kInLogSize && from < h.in_total - kInLogSize) {
        throw std::runtime_error("usb host: received bytes overwritten");
    }
    std::string out;
    for (uint64_t i = from; i < h.in_total; i++) out.push_back(static_cast<char>(h.in_log[i % kInLogSize]));
    return out;
}

bool wait_received(std::string_view text, size_t from, uint64_t limit_us) {
    return run_until([&] { return received(from).find(text) != std::string::npos; }, limit_us);
}

size_t packet_count() {
    return host().packets_total;
}

std::vector<Packet> packets(size_t from) {
    const Host &h = host();
    return log_since(h.packets, h.packets_total, from, "USB packets");
}

}  // namespace vb::usb
