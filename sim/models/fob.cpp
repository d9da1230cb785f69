#include "fob.h"

#include "vboard.h"

namespace peers {

Fob::Fob(Air &air, uint32_t u1, uint32_t u2, uint32_t u3, uint32_t c, Key k, ModuleSettings s)
    : Radio(air, s), uid1(u1), uid2(u2), uid3(u3), counter(c), key(k) {}

Message Fob::message(uint32_t c) const {
    return fob_message(key, uid1, uid2, uid3, c, tail);
}

Message Fob::press() {
    return press_at(vb::now_ns());
}

Message Fob::press_at(uint64_t now_ns) {
    counter++;
    const Message m = message(counter);
    transmit(start_after_serial(now_ns, m.size()), as_string(m));
    return m;
}

void Fob::send(const std::string &bytes) {
    transmit(start_after_serial(vb::now_ns(), bytes.size()), bytes);
}

}  // namespace peers
