// The USB link of the simulated board: the RP2040's device controller (what
// TinyUSB's dcd_* port functions drive) and the host at the other end of the
// cable, which enumerates the device and moves data in full-speed frames.
//
// Both live in memory shared across boots, like every device: the host keeps
// its state over a restart of the board and sees the device go and come back.
// Transactions run on the virtual clock in the firmware's process, because
// they copy to and from the firmware's buffers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "board.h"

namespace vb::usb {

constexpr unsigned kEndpoints = 16;
constexpr unsigned kDirOut = 0;  // TinyUSB's direction numbers
constexpr unsigned kDirIn = 1;
constexpr uint8_t kDirInMask = 0x80;
constexpr uint16_t kControlPacketSize = 64;
constexpr uint16_t kBulkPacketSize = 64;
constexpr size_t kSetupSize = 8;

// Full-speed bus timing: 12 Mbit/s in 1 ms frames, a start-of-frame packet at
// the start of each, and at most kBulkPacketsPerFrame bulk data packets per
// frame (the rest of the frame is left to control transfers, as hosts do).
constexpr uint64_t kFrameNs = 1000000;
constexpr unsigned kBulkPacketsPerFrame = 19;
constexpr unsigned kPacketOverheadBytes = 13;  // token, sync, PID, CRC, handshake, gaps
constexpr uint64_t kSofNs = 4000;
constexpr uint64_t kBitNsX12 = 1000;  // 12 bits per µs: one bit is 1000/12 ns

// What the host does when a device appears, as USB 2.0 asks of it.
constexpr uint64_t kAttachDebounceNs = 100000000;
constexpr uint64_t kResetNs = 10000000;
constexpr uint64_t kResetRecoveryNs = 10000000;
constexpr uint64_t kSetAddressRecoveryNs = 2000000;
constexpr uint64_t kControlTimeoutNs = 5000000000;  // a control transfer the device never completes
constexpr uint64_t kSuspendIdleNs = 3000000;         // a device suspends after 3 ms of idle bus

// ---- the device controller ------------------------------------------------------------

enum class Handshake : uint8_t { Ack, Nak, Stall, None };

struct Endpoint {
    bool open;
    uint8_t type;  // TinyUSB's transfer types: 0 control, 2 bulk, 3 interrupt
    uint16_t max_packet;
    bool stalled;
    bool armed;       // a transfer is set up and not finished
    uint8_t *buffer;  // the firmware's memory: touched only in the firmware's process
    uint16_t total;
    uint16_t done;
    uint16_t completed;  // length of the last finished transfer, for the interrupt handler
};

// Interrupt causes, held until the handler takes them.
enum : uint32_t {
    kIntSof = 1u << 0,
    kIntBuffStatus = 1u << 1,
    kIntSetup = 1u << 2,
    kIntBusReset = 1u << 3,
    kIntSuspend = 1u << 4,
    kIntResume = 1u << 5,
};

struct Controller {
    bool enabled;      // dcd_init has run in this boot
    bool pullup;       // the device shows itself on the bus
    bool in_boot_rom;  // reset_usb_boot: the firmware's device has left the bus
    bool sof_irq;
    bool suspended;
    uint8_t address;
    uint32_t ints;
    uint32_t buff_status;  // bit 2n: IN endpoint n finished; bit 2n+1: OUT endpoint n
    uint32_t frame;
    uint8_t setup[kSetupSize];
    uint64_t idle_since_ns;  // the bus has been idle since; kNever while the host drives it
    uint64_t interrupts;     // interrupt causes raised, for tests
    Endpoint ep[kEndpoints][2];
};

Controller &controller();

// The device as the bus sees it: a transaction addressed to `address`.
bool device_attached();
Handshake device_setup(uint8_t address, const uint8_t *setup);
// IN: up to one packet into `data` (room for the endpoint's packet size).
Handshake device_in(uint8_t address, uint8_t ep_num, uint8_t *data, uint16_t *len);
Handshake device_out(uint8_t address, uint8_t ep_num, const uint8_t *data, uint16_t len);
// Whether a transaction on the endpoint would get an answer other than NAK.
bool device_endpoint_ready(uint8_t ep_num, unsigned dir);
// Bus signalling from the host.
void device_bus_reset();
void device_bus_activity(bool active, uint64_t now_ns);
void device_resume();
void device_start_of_frame(uint32_t frame);
// The controller's own timer (suspend after an idle bus) and its power-on state.
uint64_t controller_next_event_ns();
void controller_fire(uint64_t now_ns);
void controller_power_on_reset();

// ---- the host ---------------------------------------------------------------------------

enum class Outcome : uint8_t { Pending, Ack, Stall, Timeout, Gone };
enum class Phase : uint8_t { Detached, Debounce, Reset, Recovery, Running };
enum class Stage : uint8_t { Setup, DataIn, DataOut, StatusIn, StatusOut };
enum class Owner : uint8_t { Enumeration, Terminal, Harness };
enum class EnumStep : uint8_t {
    Idle,
    DeviceHead,
    SetAddress,
    Device,
    ConfigHead,
    Config,
    Languages,
    Strings,
    SetConfiguration,
    Done,
    Failed,
};

constexpr size_t kControlDataMax = 1024;
constexpr size_t kConfigMax = 512;
constexpr size_t kStringSlots = 16;
constexpr size_t kStringMax = 255;
constexpr size_t kOutQueueSize = size_t{1} << 20;
constexpr size_t kInLogSize = size_t{1} << 20;
constexpr size_t kPacketLogSize = size_t{1} << 16;

struct ControlTransfer {
    uint8_t setup[kSetupSize];
    uint16_t length;  // OUT: bytes to send; IN: bytes received
    uint16_t sent;
    uint8_t data[kControlDataMax];
    Stage stage;
    Outcome outcome;
    Owner owner;
    uint64_t seq;  // the harness's number for its request
    uint64_t deadline_ns;
    uint64_t done_ns;
};

enum class PacketKind : uint8_t { Setup, In, Out };

// One transaction on the bus, as a bus analyser would list it.
struct Packet {
    uint64_t t_ns;
    uint8_t ep;  // with kDirInMask for IN
    PacketKind kind;
    Handshake handshake;
    uint16_t len;
};

struct Host {
    // What the harness sets.
    bool plugged;
    bool bus_suspended;
    bool manual_configuration;  // stop after reading the descriptors
    bool terminal_open;         // DTR and RTS wanted; the IN endpoint is read
    bool reader_paused;         // the terminal takes no more data for now
    uint64_t request_seq;
    bool request_pending;
    ControlTransfer request;
    uint64_t reply_seq;
    ControlTransfer reply;

    // The bus.
    Phase phase;
    uint64_t phase_end_ns;
    uint8_t address;
    uint8_t next_address;
    uint64_t bus_free_ns;
    uint64_t bulk_frame;
    unsigned bulk_used;
    uint64_t sof_frame;
    bool prefer_in;
    uint64_t control_gap_until_ns;  // a pause the host keeps before its next control transfer

    // The control transfer on the bus.
    bool control_busy;
    ControlTransfer control;

    // Enumeration and what it read.
    EnumStep step;
    uint8_t string_next;
    uint32_t enumerations;  // completed, configured or not
    bool configured;
    uint8_t configuration_value;
    uint8_t device_desc[18];
    uint16_t device_desc_len;
    uint8_t config_desc[kConfigMax];
    uint16_t config_len;
    uint8_t strings[kStringSlots][kStringMax];
    uint16_t string_len[kStringSlots];
    bool string_read[kStringSlots];
    uint16_t langid;
    uint8_t comm_interface;  // the CDC control interface, where line requests go
    uint8_t ep_in;
    uint8_t ep_out;
    bool in_halted;  // a bulk endpoint answered STALL: the host stops using it
    bool out_halted;
    bool suspend_applied;

    // The terminal.
    bool line_coding_applied;
    int line_state_applied;  // -1: not known

    // Data: host to device (queued by the harness) and device to host.
    uint64_t out_head, out_tail;
    uint8_t out_queue[kOutQueueSize];
    uint64_t in_total;
    uint8_t in_log[kInLogSize];
    uint64_t packets_total;
    Packet packets[kPacketLogSize];
    uint64_t detaches;
};

Host &host();

// Time on the bus of a packet with `len` data bytes.
constexpr uint64_t packet_ns(size_t len) {
    return (len + kPacketOverheadBytes) * 8 * kBitNsX12 / 12;
}

}  // namespace vb::usb
