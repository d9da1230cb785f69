// Figures of a fleet at a building's size: how many fob presses reach their
// cabinet, how long a press takes to reach every cabinet, how busy the air
// is, over every cabinet hearing every other, a line or rooms joined by a
// few cabinets. Each prints its figures (a JSON line at the end).
#pragma once

#include <cstdint>
#include <string>

#include "runner.h"

namespace fleet {

constexpr unsigned kDefaultPressCount = 41;
constexpr unsigned kMaxPressCount = 1000;
constexpr unsigned kMaxRooms = 32;

// Who hears whom among N cabinets A, B, ...: all of them, a line where each
// hears only its neighbours, or rooms of consecutive cabinets where everyone
// hears their room and the last `joined_by` cabinets of a room hear the next
// room too.
struct Layout {
    enum class Kind : uint8_t { All, Line, Rooms } kind = Kind::All;
    unsigned rooms = 2;
    unsigned joined_by = 1;
};
// The layout as topology lines (`default none`, `A - B 0`); "" for all.
std::string layout_links(unsigned n, const Layout &layout);

// The share of time in [from_ns, to_ns) with a packet on the air.
double busy_share(const peers::Air &air, uint64_t from_ns, uint64_t to_ns);

// N cabinets booted within 5 s, one fob paired on A alone, then `presses`
// presses 8 to 12 s apart: the share of presses A's firmware heard, and from
// each of A's toggles into lockdown the time until every other cabinet (and
// the last one, the far end of a line) shows it.
int presses_heard(unsigned n, unsigned presses, const Layout &layout, Settings s);

// Reads a whole decimal number in [lo, hi]; false otherwise.
bool whole_number(const char *text, unsigned long long lo, unsigned long long hi, unsigned long long &out);

}  // namespace fleet
