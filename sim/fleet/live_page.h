// The fleet at real time on its page (sim/web/fleet.html): every cabinet's
// power, fob state, last report and the peer broadcasts it took in, the
// air's latest packets with each cabinet's outcome, and the timeline; the
// page's commands are script steps that act at once.
#pragma once

#include <string>

#include "runner.h"
#include "web_server.h"

namespace fleet {

constexpr unsigned kWebDefaultPort = sim::kWebDefaultPort + 1;  // beside the virtual board's page

// Without a script: N cabinets (A, B, ...) and a fob f0 paired on them all.
std::string default_fleet(unsigned n);
// Runs the fleet with its page until interrupted; the exit status.
// `name`: the script's, for the page.
int run_web(const std::string &text, const std::string &name, Settings s, unsigned port);

}  // namespace fleet
