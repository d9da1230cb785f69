// The USB host at the other end of the board's cable.
//
// It behaves like a desktop OS with a terminal program: once the device shows
// itself it waits 100 ms, resets the bus for 10 ms, and enumerates: the first
// 64 bytes of the device descriptor at address 0, SET_ADDRESS, the device
// descriptor, the configuration descriptor (head, then whole), the language
// list and every string the descriptors name, and SET_CONFIGURATION. While a
// terminal has the port open it sets the line coding and DTR and RTS, reads
// the bulk IN endpoint, and clears DTR and RTS when the terminal closes. Bytes
// queued by the harness go out on the bulk OUT endpoint.
//
// The bus runs in 1 ms frames: a start-of-frame packet, then transactions one
// after another, each taking its time on the 12 Mbit/s wire; at most 19 bulk
// data packets go per frame. A host keeps polling an endpoint that answers
// NAK; the model instead waits until the device has armed the endpoint and
// then uses the next free slot on the bus, which moves the same bytes at the
// same times without a NAK per poll.
#include <algorithm>
#include <cstring>

#include "board.h"
#include "devices.h"
#include "usb_bus.h"

namespace vb::usb {

namespace {

Host *the_host = shared_alloc<Host>();

constexpr uint8_t kTypeStandardIn = 0x80;
constexpr uint8_t kTypeStandardOut = 0x00;
constexpr uint8_t kTypeClassInterfaceOut = 0x21;
constexpr uint8_t kReqSetAddress = 5;
constexpr uint8_t kReqGetDescriptor = 6;
constexpr uint8_t kReqSetConfiguration = 9;
constexpr uint8_t kCdcSetLineCoding = 0x20;
constexpr uint8_t kCdcSetControlLineState = 0x22;
constexpr uint8_t kDescDevice = 1;
constexpr uint8_t kDescConfiguration = 2;
constexpr uint8_t kDescString = 3;
constexpr uint8_t kDescInterface = 4;
constexpr uint8_t kDescEndpoint = 5;
constexpr uint8_t kDescInterfaceAssociation = 0x0b;
constexpr uint16_t kDeviceHeadLength = 64;
constexpr uint16_t kDeviceDescLength = 18;
constexpr uint16_t kConfigHeadLength = 9;
constexpr uint16_t kLangEnglishUs = 0x0409;
constexpr uint8_t kClassCdc = 0x02;
constexpr uint8_t kClassCdcData = 0x0a;
constexpr uint8_t kXferBulk = 2;
constexpr uint8_t kLineDtrRts = 0x03;
constexpr uint8_t kMaxAddress = 127;
// 115200 baud, one stop bit, no parity, 8 data bits.
constexpr uint8_t kLineCoding[] = {0x00, 0xc2, 0x01, 0x00, 0x00, 0x00, 0x08};

enum class Work : uint8_t { None, Control, Out, In };

uint64_t now() {
    return board().now_ns;
}

uint16_t le16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint16_t setup_value(const ControlTransfer &t) {
    return le16(t.setup + 2);
}

uint16_t setup_length(const ControlTransfer &t) {
    return le16(t.setup + 6);
}

bool setup_in(const ControlTransfer &t) {
    return t.setup[0] & kDirInMask;
}

void make_control(ControlTransfer &t, Owner owner, uint8_t type, uint8_t request, uint16_t value, uint16_t index,
                  uint16_t length) {
    t.owner = owner;
    t.setup[0] = type;
    t.setup[1] = request;
    t.setup[2] = static_cast<uint8_t>(value);
    t.setup[3] = static_cast<uint8_t>(value >> 8);
    t.setup[4] = static_cast<uint8_t>(index);
    t.setup[5] = static_cast<uint8_t>(index >> 8);
    t.setup[6] = static_cast<uint8_t>(length);
    t.setup[7] = static_cast<uint8_t>(length >> 8);
    t.length = 0;
}

void log_packet(PacketKind kind, uint8_t ep, Handshake handshake, uint16_t len) {
    Host &h = *the_host;
    h.packets[h.packets_total % kPacketLogSize] = Packet{now(), ep, kind, handshake, len};
    h.packets_total++;
}

// ---- what the descriptors name ------------------------------------------------------

bool string_referenced(uint8_t index) {
    const Host &h = *the_host;
    if (index == 0) return false;
    if (h.device_desc_len >= kDeviceDescLength) {
        for (unsigned at : {14u, 15u, 16u}) {
            if (h.device_desc[at] == index) return true;
        }
    }
    for (size_t at = 0; at + 2 <= h.config_len && h.config_desc[at] >= 2; at += h.config_desc[at]) {
        const uint8_t *d = h.config_desc + at;
        const uint8_t len = d[0];
        if (at + len > h.config_len) break;
        if (d[1] == kDescConfiguration && len >= 7 && d[6] == index) return true;
        if (d[1] == kDescInterface && len >= 9 && d[8] == index) return true;
        if (d[1] == kDescInterfaceAssociation && len >= 8 && d[7] == index) return true;
    }
    return false;
}

// The CDC control interface and the bulk endpoints of its data interface.
void parse_configuration() {
    Host &h = *the_host;
    h.comm_interface = 0;
    h.ep_in = h.ep_out = 0;
    h.configuration_value = h.config_len >= 6 ? h.config_desc[5] : 1;
    bool in_data_interface = false;
    for (size_t at = 0; at + 2 <= h.config_len && h.config_desc[at] >= 2; at += h.config_desc[at]) {
        const uint8_t *d = h.config_desc + at;
        if (at + d[0] > h.config_len) break;
        if (d[1] == kDescInterface && d[0] >= 9) {
            if (d[5] == kClassCdc) h.comm_interface = d[2];
            in_data_interface = d[5] == kClassCdcData;
        } else if (d[1] == kDescEndpoint && d[0] >= 7 && in_data_interface && (d[3] & 3) == kXferBulk) {
            if (d[2] & kDirInMask) {
                if (h.ep_in == 0) h.ep_in = d[2];
            } else if (h.ep_out == 0) {
                h.ep_out = d[2];
            }
        }
    }
}

// ---- choosing the next control transfer -------------------------------------------

bool enumerating() {
    const EnumStep s = the_host->step;
    return s != EnumStep::Idle && s != EnumStep::Done && s != EnumStep::Failed;
}

bool build_enumeration(ControlTransfer &t) {
    Host &h = *the_host;
    const Owner o = Owner::Enumeration;
    switch (h.step) {
        case EnumStep::DeviceHead:
            make_control(t, o, kTypeStandardIn, kReqGetDescriptor, kDescDevice << 8, 0, kDeviceHeadLength);
            return true;
        case EnumStep::SetAddress:
            make_control(t, o, kTypeStandardOut, kReqSetAddress, h.next_address, 0, 0);
            return true;
        case EnumStep::Device:
            make_control(t, o, kTypeStandardIn, kReqGetDescriptor, kDescDevice << 8, 0, kDeviceDescLength);
            return true;
        case EnumStep::ConfigHead:
            make_control(t, o, kTypeStandardIn, kReqGetDescriptor, kDescConfiguration << 8, 0, kConfigHeadLength);
            return true;
        case EnumStep::Config:
            make_control(t, o, kTypeStandardIn, kReqGetDescriptor, kDescConfiguration << 8, 0,
                         static_cast<uint16_t>(std::min<size_t>(h.config_len, kConfigMax)));
            return true;
        case EnumStep::Languages:
            make_control(t, o, kTypeStandardIn, kReqGetDescriptor, kDescString << 8, 0, kStringMax);
            return true;
        case EnumStep::Strings:
            make_control(t, o, kTypeStandardIn, kReqGetDescriptor, static_cast<uint16_t>(kDescString << 8 | h.string_next),
                         h.langid, kStringMax);
            return true;
        case EnumStep::SetConfiguration:
            make_control(t, o, kTypeStandardOut, kReqSetConfiguration, h.configuration_value, 0, 0);
            return true;
        default:
            return false;
    }
}

bool build_terminal(ControlTransfer &t) {
    Host &h = *the_host;
    if (!h.configured || h.step != EnumStep::Done) return false;
    if (h.terminal_open && !h.line_coding_applied) {
        make_control(t, Owner::Terminal, kTypeClassInterfaceOut, kCdcSetLineCoding, 0, h.comm_interface,
                     sizeof kLineCoding);
        memcpy(t.data, kLineCoding, sizeof kLineCoding);
        t.length = sizeof kLineCoding;
        return true;
    }
    const int wanted = h.terminal_open ? kLineDtrRts : 0;
    if (h.line_state_applied != wanted) {
        make_control(t, Owner::Terminal, kTypeClassInterfaceOut, kCdcSetControlLineState, static_cast<uint16_t>(wanted),
                     h.comm_interface, 0);
        return true;
    }
    return false;
}

// The next control transfer to start: enumeration first, then the terminal's
// line requests, then the harness's request (once enumeration has ended).
bool pick_control(ControlTransfer *out) {
    Host &h = *the_host;
    ControlTransfer scratch;
    ControlTransfer &t = out != nullptr ? *out : scratch;
    if (enumerating()) return build_enumeration(t);
    if (build_terminal(t)) return true;
    if (h.request_pending && (h.step == EnumStep::Done || h.step == EnumStep::Failed)) {
        if (out != nullptr) {
            t = h.request;
            t.owner = Owner::Harness;
            h.request_pending = false;
        }
        return true;
    }
    return false;
}

// ---- results -------------------------------------------------------------------------

void advance_strings() {
    Host &h = *the_host;
    while (h.string_next < kStringSlots && !string_referenced(h.string_next)) h.string_next++;
    if (h.string_next < kStringSlots) {
        h.step = EnumStep::Strings;
    } else if (h.manual_configuration) {
        h.step = EnumStep::Done;
        h.enumerations++;
    } else {
        h.step = EnumStep::SetConfiguration;
    }
}

void note_configured(uint8_t value) {
    Host &h = *the_host;
    h.configured = value != 0;
    h.configuration_value = value != 0 ? value : h.configuration_value;
    h.line_coding_applied = false;
    h.line_state_applied = 0;  // a new configuration starts with DTR and RTS clear
    h.in_halted = h.out_halted = false;
}

void enumeration_result(const ControlTransfer &t) {
    Host &h = *the_host;
    const bool ok = t.outcome == Outcome::Ack;
    switch (h.step) {
        case EnumStep::DeviceHead:
            if (!ok || t.length < 8) break;
            h.step = EnumStep::SetAddress;
            return;
        case EnumStep::SetAddress:
            if (!ok) break;
            h.address = h.next_address;
            h.next_address = static_cast<uint8_t>(h.next_address % kMaxAddress + 1);
            h.control_gap_until_ns = now() + kSetAddressRecoveryNs;
            h.step = EnumStep::Device;
            return;
        case EnumStep::Device:
            if (!ok || t.length < kDeviceDescLength) break;
            memcpy(h.device_desc, t.data, kDeviceDescLength);
            h.device_desc_len = kDeviceDescLength;
            h.step = EnumStep::ConfigHead;
            return;
        case EnumStep::ConfigHead:
            if (!ok || t.length < kConfigHeadLength) break;
            h.config_len = le16(t.data + 2);
            h.step = EnumStep::Config;
            return;
        case EnumStep::Config:
            if (!ok || t.length < kConfigHeadLength) break;
            memcpy(h.config_desc, t.data, t.length);
            h.config_len = t.length;
            parse_configuration();
            h.step = EnumStep::Languages;
            return;
        case EnumStep::Languages:
            // A device without strings refuses the language list; go on without.
            if (ok) {
                memcpy(h.strings[0], t.data, t.length);
                h.string_len[0] = t.length;
                h.string_read[0] = true;
                h.langid = t.length >= 4 ? le16(t.data + 2) : kLangEnglishUs;
                h.string_next = 1;
            } else {
                h.string_next = kStringSlots;
            }
            advance_strings();
            return;
        case EnumStep::Strings:
            if (ok) {
                memcpy(h.strings[h.string_next], t.data, t.length);
                h.string_len[h.string_next] = t.length;
            }
            h.string_read[h.string_next] = true;
            h.string_next++;
            advance_strings();
            return;
        case EnumStep::SetConfiguration:
            if (!ok) break;
            note_configured(h.configuration_value);
            h.enumerations++;
            h.step = EnumStep::Done;
            return;
        default:
            return;
    }
    h.step = EnumStep::Failed;
}

void terminal_result(const ControlTransfer &t) {
    Host &h = *the_host;
    // A refused line request is not repeated, as an OS would not.
    if (t.setup[1] == kCdcSetLineCoding) {
        h.line_coding_applied = true;
    } else {
        h.line_state_applied = setup_value(t);
    }
}

void harness_result(const ControlTransfer &t) {
    Host &h = *the_host;
    if (t.outcome == Outcome::Ack && t.setup[0] == kTypeStandardOut && t.setup[1] == kReqSetConfiguration) {
        note_configured(static_cast<uint8_t>(setup_value(t)));
    }
    h.reply = t;
    h.reply_seq = t.seq;
}

void finish_control(Outcome outcome) {
    Host &h = *the_host;
    h.control_busy = false;
    h.control.outcome = outcome;
    h.control.done_ns = now();
    switch (h.control.owner) {
        case Owner::Enumeration: enumeration_result(h.control); break;
        case Owner::Terminal: terminal_result(h.control); break;
        case Owner::Harness: harness_result(h.control); break;
    }
}

// ---- transactions ---------------------------------------------------------------------

bool control_stage_ready() {
    const ControlTransfer &t = the_host->control;
    switch (t.stage) {
        case Stage::Setup: return true;
        case Stage::DataIn:
        case Stage::StatusIn: return device_endpoint_ready(0, kDirIn);
        case Stage::DataOut:
        case Stage::StatusOut: return device_endpoint_ready(0, kDirOut);
    }
    return false;
}

uint64_t control_stage_ns() {
    const ControlTransfer &t = the_host->control;
    switch (t.stage) {
        case Stage::Setup: return packet_ns(kSetupSize);
        case Stage::DataIn: return packet_ns(kControlPacketSize);
        case Stage::DataOut: return packet_ns(std::min<size_t>(kControlPacketSize, t.length - t.sent));
        default: return packet_ns(0);
    }
}

void control_transaction() {
    Host &h = *the_host;
    ControlTransfer &t = h.control;
    uint8_t packet[kControlPacketSize];
    uint16_t n = 0;
    Handshake hs = Handshake::None;
    switch (t.stage) {
        case Stage::Setup:
            hs = device_setup(h.address, t.setup);
            log_packet(PacketKind::Setup, 0, hs, kSetupSize);
            if (hs != Handshake::Ack) break;
            if (setup_length(t) == 0) {
                t.stage = Stage::StatusIn;
            } else if (setup_in(t)) {
                t.length = 0;
                t.stage = Stage::DataIn;
            } else {
                t.sent = 0;
                t.stage = Stage::DataOut;
            }
            return;
        case Stage::DataIn: {
            hs = device_in(h.address, 0, packet, &n);
            log_packet(PacketKind::In, kDirInMask, hs, n);
            if (hs != Handshake::Ack) break;
            // A device that sends more than asked for is cut at wLength.
            const size_t room = std::min<size_t>(setup_length(t), kControlDataMax) - t.length;
            const size_t keep = std::min<size_t>(n, room);
            memcpy(t.data + t.length, packet, keep);
            t.length = static_cast<uint16_t>(t.length + keep);
            if (n < kControlPacketSize || t.length >= setup_length(t)) t.stage = Stage::StatusOut;
            return;
        }
        case Stage::DataOut: {
            const uint16_t chunk = static_cast<uint16_t>(std::min<size_t>(kControlPacketSize, t.length - t.sent));
            hs = device_out(h.address, 0, t.data + t.sent, chunk);
            log_packet(PacketKind::Out, 0, hs, chunk);
            if (hs != Handshake::Ack) break;
            t.sent = static_cast<uint16_t>(t.sent + chunk);
            if (t.sent >= t.length) t.stage = Stage::StatusIn;
            return;
        }
        case Stage::StatusIn:
            hs = device_in(h.address, 0, packet, &n);
            log_packet(PacketKind::In, kDirInMask, hs, n);
            if (hs != Handshake::Ack) break;
            finish_control(Outcome::Ack);
            return;
        case Stage::StatusOut:
            hs = device_out(h.address, 0, nullptr, 0);
            log_packet(PacketKind::Out, 0, hs, 0);
            if (hs != Handshake::Ack) break;
            finish_control(Outcome::Ack);
            return;
    }
    if (hs == Handshake::Nak) return;  // tried again at the next slot
    finish_control(hs == Handshake::Stall ? Outcome::Stall : Outcome::Timeout);
}

void bulk_out_transaction() {
    Host &h = *the_host;
    uint8_t packet[kBulkPacketSize];
    const uint16_t n = static_cast<uint16_t>(std::min<uint64_t>(kBulkPacketSize, h.out_tail - h.out_head));
    for (uint16_t i = 0; i < n; i++) packet[i] = h.out_queue[(h.out_head + i) % kOutQueueSize];
    const Handshake hs = device_out(h.address, h.ep_out & 0x0f, packet, n);
    log_packet(PacketKind::Out, h.ep_out, hs, n);
    if (hs == Handshake::Ack) h.out_head += n;
    if (hs == Handshake::Stall) h.out_halted = true;
}

void bulk_in_transaction() {
    Host &h = *the_host;
    uint8_t packet[kBulkPacketSize];
    uint16_t n = 0;
    const Handshake hs = device_in(h.address, h.ep_in & 0x0f, packet, &n);
    log_packet(PacketKind::In, h.ep_in, hs, n);
    if (hs == Handshake::Ack) {
        for (uint16_t i = 0; i < n; i++) h.in_log[(h.in_total + i) % kInLogSize] = packet[i];
        h.in_total += n;
    }
    if (hs == Handshake::Stall) h.in_halted = true;
}

bool out_ready() {
    const Host &h = *the_host;
    return h.configured && h.ep_out != 0 && !h.out_halted && h.out_tail > h.out_head &&
           device_endpoint_ready(h.ep_out & 0x0f, kDirOut);
}

bool in_ready() {
    const Host &h = *the_host;
    return h.configured && h.ep_in != 0 && !h.in_halted && h.terminal_open && !h.reader_paused &&
           device_endpoint_ready(h.ep_in & 0x0f, kDirIn);
}

// The first time from `t` at which a transaction of `duration` fits in a
// frame after its start-of-frame packet (and, for bulk, within the frame's
// share of bulk packets).
uint64_t slot_from(uint64_t t, uint64_t duration, bool bulk) {
    const Host &h = *the_host;
    for (;;) {
        const uint64_t frame = t / kFrameNs;
        const uint64_t start = frame * kFrameNs;
        t = std::max(t, start + kSofNs);
        const bool fits = t + duration <= start + kFrameNs;
        const bool budget = !bulk || frame != h.bulk_frame || h.bulk_used < kBulkPacketsPerFrame;
        if (fits && budget) return t;
        t = start + kFrameNs;
    }
}

Work pick_work(uint64_t *when) {
    Host &h = *the_host;
    const uint64_t t0 = std::max(now(), h.bus_free_ns);
    if (h.control_busy) {
        if (control_stage_ready()) {
            *when = slot_from(t0, control_stage_ns(), false);
            return Work::Control;
        }
    } else if (pick_control(nullptr)) {
        *when = slot_from(std::max(t0, h.control_gap_until_ns), packet_ns(kSetupSize), false);
        return Work::Control;
    }
    const bool out = out_ready();
    const bool in = in_ready();
    if (!out && !in) return Work::None;
    *when = slot_from(t0, packet_ns(kBulkPacketSize), true);
    if (out && in) return h.prefer_in ? Work::In : Work::Out;
    return out ? Work::Out : Work::In;
}

void run_transaction(Work work) {
    Host &h = *the_host;
    const uint64_t start = now();
    switch (work) {
        case Work::Control:
            if (!h.control_busy) {
                pick_control(&h.control);
                h.control.stage = Stage::Setup;
                h.control.outcome = Outcome::Pending;
                h.control.deadline_ns = start + kControlTimeoutNs;
                h.control_busy = true;
            }
            h.bus_free_ns = start + control_stage_ns();
            control_transaction();
            return;
        case Work::Out:
        case Work::In: {
            const uint64_t frame = start / kFrameNs;
            if (frame != h.bulk_frame) {
                h.bulk_frame = frame;
                h.bulk_used = 0;
            }
            h.bulk_used++;
            h.bus_free_ns = start + packet_ns(kBulkPacketSize);
            h.prefer_in = work == Work::Out;
            if (work == Work::Out) {
                bulk_out_transaction();
            } else {
                bulk_in_transaction();
            }
            return;
        }
        case Work::None: return;
    }
}

// ---- attach, reset, detach ---------------------------------------------------------------

bool device_here() {
    return the_host->plugged && device_attached();
}

void detach() {
    Host &h = *the_host;
    if (h.control_busy) finish_control(Outcome::Gone);
    h.phase = Phase::Detached;
    h.address = 0;
    h.step = EnumStep::Idle;
    h.configured = false;
    h.line_coding_applied = false;
    h.line_state_applied = -1;
    h.in_halted = h.out_halted = false;
    h.out_head = h.out_tail;  // the port has gone, and what was still to be sent with it
    h.detaches++;
    if (h.request_pending && !h.plugged) {
        h.request_pending = false;
        h.request.outcome = Outcome::Gone;
        h.request.done_ns = now();
        h.reply = h.request;
        h.reply_seq = h.request.seq;
    }
    device_bus_activity(false, now());
}

uint64_t running_next_event_ns() {
    Host &h = *the_host;
    if (h.bus_suspended != h.suspend_applied) return now();
    if (h.bus_suspended) return kNever;
    uint64_t next = kNever;
    if (h.control_busy) next = std::min(next, h.control.deadline_ns);
    if (controller().sof_irq) next = std::min(next, (now() / kFrameNs + 1) * kFrameNs);
    uint64_t when = kNever;
    if (pick_work(&when) != Work::None) next = std::min(next, when);
    return next;
}

void run_bus() {
    Host &h = *the_host;
    if (h.bus_suspended != h.suspend_applied) {
        h.suspend_applied = h.bus_suspended;
        device_bus_activity(!h.bus_suspended, now());
        if (!h.bus_suspended) device_resume();
        return;
    }
    if (h.bus_suspended) return;
    const uint64_t frame = now() / kFrameNs;
    if (frame != h.sof_frame) {
        h.sof_frame = frame;
        device_start_of_frame(static_cast<uint32_t>(frame));
    }
    if (h.control_busy && now() >= h.control.deadline_ns) finish_control(Outcome::Timeout);
    uint64_t when = kNever;
    const Work work = pick_work(&when);
    if (work != Work::None && when <= now()) run_transaction(work);
}

uint64_t host_next_event_ns() {
    const Host &h = *the_host;
    switch (h.phase) {
        case Phase::Detached: return device_here() ? now() : kNever;
        case Phase::Debounce:
        case Phase::Reset:
        case Phase::Recovery: return device_here() ? h.phase_end_ns : now();
        case Phase::Running: return device_here() ? running_next_event_ns() : now();
    }
    return kNever;
}

void host_fire(uint64_t now_ns) {
    Host &h = *the_host;
    if (h.phase != Phase::Detached && !device_here()) {
        detach();
        return;
    }
    switch (h.phase) {
        case Phase::Detached:
            if (!device_here()) return;
            h.phase = Phase::Debounce;
            h.phase_end_ns = now_ns + kAttachDebounceNs;
            return;
        case Phase::Debounce:
            if (now_ns < h.phase_end_ns) return;
            h.phase = Phase::Reset;
            h.phase_end_ns = now_ns + kResetNs;
            h.suspend_applied = false;
            device_bus_activity(true, now_ns);
            device_bus_reset();
            return;
        case Phase::Reset:
            if (now_ns < h.phase_end_ns) return;
            h.phase = Phase::Recovery;
            h.phase_end_ns = now_ns + kResetRecoveryNs;
            return;
        case Phase::Recovery:
            if (now_ns < h.phase_end_ns) return;
            h.phase = Phase::Running;
            h.address = 0;
            if (h.next_address == 0) h.next_address = 1;
            h.step = EnumStep::DeviceHead;
            h.device_desc_len = 0;
            h.config_len = 0;
            memset(h.string_len, 0, sizeof h.string_len);
            memset(h.string_read, 0, sizeof h.string_read);
            h.bus_free_ns = now_ns;
            h.bulk_frame = kNever;
            h.sof_frame = kNever;
            h.control_gap_until_ns = 0;
            return;
        case Phase::Running:
            run_bus();
            return;
    }
}

// ---- the device model ------------------------------------------------------------------

uint64_t usb_next_event_ns() {
    return std::min(controller_next_event_ns(), host_next_event_ns());
}

void usb_fire(uint64_t now_ns) {
    controller_fire(now_ns);
    host_fire(now_ns);
}

// A power cycle or reset of the board: its device leaves the bus; the host
// stays and sees it go.
void usb_power_on_reset() {
    controller_power_on_reset();
    if (the_host->phase != Phase::Detached) detach();
}

Device usb_device{{"usb", usb_next_event_ns, usb_fire, usb_power_on_reset}};

}  // namespace

Host &host() {
    return *the_host;
}

}  // namespace vb::usb
