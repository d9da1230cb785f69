// The air shared by the cabinets' LoRa modules (of the E220 kind), and the
// module every radio on it is: its registers, its packets' time on air.
//
// The air, as modelled here:
//  - A module collects what its serial input receives and sends it as one
//    packet once the input has been idle for three byte times (or 200 bytes
//    are waiting). The packet occupies the air for LoRa's time on air of its
//    length at the module's air data rate (see LoraParams).
//  - When the air time ends, every other module on the same channel, network
//    and air rate whose address matches (0xFFFF matches any), and that the
//    sender reaches (Air::link), writes the bytes out on its serial output. A
//    module with another air-encryption key receives them scrambled.
//  - Collisions are judged at each receiver: two packets on one channel that
//    both reach it and overlap in time are both lost there. A module hears
//    nothing while it transmits itself, and nothing while it is off.
// Time is the virtual board's clock; Air::step() runs it (register it with
// vb::add_peer), or a clock of the caller's: Air::advance(). A packet is put on
// the board's receive wire at the first step at or after its delivery time, so
// within one peer slice (100 µs).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "radio_messages.h"

namespace peers {

constexpr size_t kMaxPacketBytes = 200;
// The module's configuration commands (a frame's first byte).
constexpr uint8_t kCmdWrite = 0xC0;       // write registers, kept over power loss
constexpr uint8_t kCmdRead = 0xC1;        // read registers; also the answer's first byte
constexpr uint8_t kCmdWriteTemp = 0xC2;   // write registers until power loss
constexpr size_t kRegCount = 8;
constexpr size_t kIdleByteTimes = 3;      // serial idle time that ends a packet or command

// One byte on a serial line at `baud` (start bit, 8 data bits, stop bit).
uint64_t byte_ns(uint32_t baud);

// Registers 00H to 07H as this model's module revision reads them:
//  00H, 01H  address (high, low)
//  02H       network identifier
//  03H       bits 7-5 serial rate (0: 1200 ... 3: 9600 ... 7: 115200),
//            bits 4-3 parity (0: 8N1), bits 2-0 air data rate (0-2: 2.4 kbit/s,
//            3: 4.8, 4: 9.6, 5: 19.2, 6: 38.4, 7: 62.5)
//  04H       channel
//  05H       options (not modelled)
//  06H, 07H  air-encryption key (write-only: reads back as zero)
struct ModuleSettings {
    std::array<uint8_t, 8> reg;

    static ModuleSettings factory();
    // The registers a configuration frame writes over the factory ones.
    static ModuleSettings from_frame(const std::array<uint8_t, kConfigFrameSize> &frame);
    // What the cabinets' network uses: this build's configuration frame.
    static ModuleSettings network();

    uint16_t address() const { return static_cast<uint16_t>(reg[0] << 8 | reg[1]); }
    uint8_t network_id() const { return reg[2]; }
    uint8_t channel() const { return reg[4]; }
    uint16_t crypt() const { return static_cast<uint16_t>(reg[6] << 8 | reg[7]); }
    uint32_t serial_baud() const;
    uint32_t air_bps() const;
    bool hears(const ModuleSettings &sender) const;
};

// The LoRa modulation the model assumes behind an air data rate: the module
// names only the rate. 2.4 kbit/s (the cabinets' setting) is taken as SF9 at
// 125 kHz with coding rate 4/5 (1.76 kbit/s of payload, the slowest the
// module's LLCC68 radio offers at 125 kHz); every packet has an 8-symbol
// preamble, an explicit header and a payload CRC; low data rate optimisation
// is off (symbols under 16 ms).
struct LoraParams {
    unsigned sf;
    uint32_t bw_hz;
    unsigned cr;  // coding rate 4/(4 + cr)
    unsigned preamble_symbols;
};
LoraParams lora_params(uint32_t air_bps);
// Time on air of an n-byte packet (Semtech's formula):
//   Tsym = 2^SF / BW,  preamble (Npre + 4.25) Tsym,
//   payload 8 + max(ceil((8n - 4SF + 28 + 16CRC - 20IH) / (4(SF - 2DE))) (CR + 4), 0) symbols.
uint64_t lora_time_on_air_ns(size_t n, const LoraParams &p);

class Air;

// One module on the air.
class Radio {
public:
    Radio(Air &air, ModuleSettings settings);
    virtual ~Radio();
    Radio(const Radio &) = delete;
    Radio &operator=(const Radio &) = delete;

    ModuleSettings settings;
    // A module without power neither sends nor hears.
    bool powered = true;
    // Puts a packet on the air from start_ns.
    void transmit(uint64_t start_ns, const std::string &bytes);
    // The time a packet starts when `n` bytes are written to the module from
    // now: the bytes at the serial rate, then the idle time that ends the packet.
    uint64_t start_after_serial(uint64_t now_ns, size_t n) const;

protected:
    friend class Air;
    // Called at every step before packets are delivered.
    virtual void poll(uint64_t now_ns) { (void)now_ns; }
    // A packet has arrived over the air (already scrambled if the keys differ).
    virtual void receive(uint64_t t_ns, const std::string &bytes) { (void)t_ns, (void)bytes; }

    Air &air_;
};

struct Packet {
    uint64_t start_ns;
    uint64_t end_ns;
    std::string bytes;
    const Radio *from;
    ModuleSettings settings;
    bool delivered;
    bool collided;  // lost to an overlap at one receiver at least
};

// What became of a packet at one module that might have heard it.
enum class Outcome : uint8_t { Heard, Collided, Deaf, Lost, Off };
struct Delivery {
    size_t packet;  // index in Air::packets()
    const Radio *to;
    Outcome outcome;
};

class Air {
public:
    Air() = default;
    Air(const Air &) = delete;
    Air &operator=(const Air &) = delete;

    // Runs the modules and delivers the packets whose air time is over.
    void step();
    // Delivers the packets whose air time is over by now_ns (no module runs).
    void advance(uint64_t now_ns);
    // End of the earliest packet not yet delivered, or UINT64_MAX.
    uint64_t next_delivery_ns() const;
    // Everything ever sent, in order of starting time.
    const std::vector<Packet> &packets() const { return packets_; }
    // Every module's outcome of every packet it could have heard, in order of delivery.
    const std::vector<Delivery> &deliveries() const { return deliveries_; }
    bool collisions = true;
    // Who reaches whom: the share of packets lost on the link from `from` to
    // `to`; 1 or more: out of reach (not even heard as interference). Unset:
    // everyone reaches everyone without loss.
    std::function<double(const Radio *from, const Radio *to)> link;
    // Seeds the draws of link losses (each packet and module draws once).
    uint64_t seed = 0;

    static uint64_t air_time_ns(size_t n, uint32_t bps);

private:
    friend class Radio;
    void attach(Radio *radio);
    void detach(Radio *radio);
    void send(Radio *from, uint64_t start_ns, const std::string &bytes);
    void deliver(size_t index);
    Outcome outcome_at(size_t index, const Radio *to) const;
    double loss(const Radio *from, const Radio *to) const { return link ? link(from, to) : 0.0; }

    std::vector<Radio *> radios_;
    std::vector<Packet> packets_;  // in order of their start
    std::vector<Delivery> deliveries_;
    size_t first_pending_ = 0;      // every packet before it is delivered
    uint64_t longest_ns_ = 0;       // the longest packet's air time so far
};


}  // namespace peers
