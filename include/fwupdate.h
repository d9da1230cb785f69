// Relays a screen firmware image from the host console to the screen unit.
#pragma once

#include <cstddef>

// Takes a verified payload from the screen line that begins with "F".
void fwupdate_ack(const char *payload, size_t len);
