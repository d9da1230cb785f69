#include "pty.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>

namespace sim {

namespace {

speed_t speed_of(unsigned baud) {
    return baud == 921600 ? B921600 : baud == 115200 ? B115200 : B9600;
}

void set_raw(const char *path, unsigned baud) {
    const int slave = open(path, O_RDWR | O_NOCTTY);
    if (slave < 0) return;
    termios t{};
    if (tcgetattr(slave, &t) == 0) {
        cfmakeraw(&t);
        cfsetspeed(&t, speed_of(baud));
        tcsetattr(slave, TCSANOW, &t);
    }
    close(slave);  // the settings stay with the pseudo-terminal
}

}  // namespace

std::string pty_open_raw(int *master, unsigned baud) {
    const int fd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return {};
    const char *path = grantpt(fd) == 0 && unlockpt(fd) == 0 ? ptsname(fd) : nullptr;
    if (path == nullptr) {
        close(fd);
        return {};
    }
    const std::string name = path;
    set_raw(name.c_str(), baud);
    *master = fd;
    return name;
}

bool pty_in_use(int master) {
    pollfd p{master, POLLIN, 0};
    if (poll(&p, 1, 0) < 0) return false;
    return !(p.revents & POLLHUP);
}

}  // namespace sim
