#include "fwupdate.h"

// The screen unit's answers during a firmware transfer arrive here. No
// transfer can be started yet, so there is nothing to answer to.
void fwupdate_ack(const char *payload, size_t len) {
    (void)payload;
    (void)len;
}
