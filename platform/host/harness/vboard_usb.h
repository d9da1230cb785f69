// The test side of the board's USB link: a host on the other end of the cable.
//
// The host enumerates the board by itself once the cable is in (as an OS
// does), keeps what it read, and, while a terminal is open, sets DTR and RTS
// and reads the serial port. Control requests and serial data go through it
// on the virtual clock, in full-speed frames.
//
// The synchronous calls let the board run until the host is done. By default
// that is the whole firmware (vb::run_until); a test that calls firmware
// code itself installs its own way of running the board with set_runner().
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "usb_bus.h"

namespace vb::usb {

struct Setup {
    uint8_t request_type;
    uint8_t request;
    uint16_t value;
    uint16_t index;
    uint16_t length;  // IN: bytes asked for; OUT: taken from the data given
};

struct Reply {
    Outcome outcome;
    std::string data;  // what an IN data stage brought
    uint64_t done_ns;
};

// Runs the board until `done` holds or `limit_us` of board time pass;
// returns whether it held.
using Runner = std::function<bool(const std::function<bool()> &done, uint64_t limit_us)>;
void set_runner(Runner runner);
bool run_until(const std::function<bool()> &done, uint64_t limit_us);

// The cable and the bus.
void plug();
void unplug();
void suspend();
void resume();
// Stop enumeration before SET_CONFIGURATION (the test configures, or not).
void set_manual_configuration(bool manual);

// Enumeration as the host sees it.
bool configured();
bool enumeration_failed();
uint32_t enumerations();
uint64_t detaches();
// Runs until the host has enumerated the device (configured, unless manual).
bool wait_enumerated(uint64_t limit_us = 1000000);
std::string device_descriptor();
std::string configuration_descriptor();
// What the host read for string `index` during enumeration; empty if not read.
std::string string_descriptor(uint8_t index);

// A control transfer, run to its end (or until `limit_us` passes: Pending).
Reply control(const Setup &setup, std::string_view out = {}, uint64_t limit_us = 6000000);
// Starts one and returns at once; its reply is then reply(seq) once done.
uint64_t submit_control(const Setup &setup, std::string_view out = {});
bool control_done(uint64_t seq);
Reply reply(uint64_t seq);

// The terminal: opening it sets DTR and RTS and reads the port; closing
// clears them and drops what was not yet sent. A paused reader leaves the
// device's data unread.
void open_terminal();
void close_terminal();
void pause_reader(bool paused);
// DTR as the device was last told (false until the host has said).
bool dtr_applied();

// Serial data. write() queues bytes for the bulk OUT endpoint; they go as
// the device takes them. Bytes not yet sent when the device leaves the bus
// are dropped, as an OS drops them with the port.
void write(std::string_view bytes);
size_t unsent();
// Bytes the host has read from the device since start (from position `from`).
size_t received_count();
std::string received(size_t from = 0);
// Runs until the host has read `text` after position `from`; returns whether.
bool wait_received(std::string_view text, size_t from = 0, uint64_t limit_us = 1000000);

// Every transaction on the bus, oldest first (from index `from`).
size_t packet_count();
std::vector<Packet> packets(size_t from = 0);

}  // namespace vb::usb
