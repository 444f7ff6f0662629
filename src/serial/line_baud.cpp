#include "serial/line_baud.h"

// The kernel's own termios record; <termios.h> must not be included here.
#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace km40r {

bool SetLineBaudRate(int fd, std::uint32_t baud) {
    termios2 t{};
    if (ioctl(fd, TCGETS2, &t) != 0)
        return false;
    t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t.c_ispeed = baud;
    t.c_ospeed = baud;
    return ioctl(fd, TCSETS2, &t) == 0;
}

std::uint32_t LineBaudRate(int fd) {
    termios2 t{};
    if (ioctl(fd, TCGETS2, &t) != 0)
        return 0;
    return t.c_ospeed;
}

} // namespace km40r
