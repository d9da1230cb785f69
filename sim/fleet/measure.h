// Measurements over random scenarios: a scenario drawn from a seed, the share
// of scenarios whose cabinets end in step, and the share of status
// broadcasts heard. Each prints its figures (a JSON line at the end).
#pragma once

#include <cstdint>
#include <string>

#include "runner.h"

namespace fleet {

// N cabinets (2 to 10 unless told) booting within 5 s, 1 to 3 fobs each paired on a random set of
// them, 1 to 5 presses of random fobs 0.5 to 12 s apart, then 16 s more.
// Settled: the first press comes 16 s after the start, so that every cabinet
// booted more than the firmware's 10 s margin before it. Together: every
// cabinet loses its power and gets it back at once before the presses, as
// after a building's outage.
struct Kind {
    bool settled = false;
    bool together = false;
    unsigned min_cabinets = 2;  // a scenario's cabinets: from
    unsigned max_cabinets = 10; // to
};

// The script of the random scenario `seed`.
std::string random_scenario(uint64_t seed, Kind kind = {});
// In step over k random scenarios from the settings' seed on; the exit status.
int measure(unsigned k, Settings s, Kind kind);
// N cabinets booted at random within 5 s (or all at once after a cut), for a
// while; the share of status broadcasts heard, the share of time the air is
// busy, and whether they end in step.
int deliveries(unsigned n, double secs, bool presses, bool together, Settings s);

}  // namespace fleet
