// Kept apart: <asm/termbits.h> defines its own struct termios and cannot meet <termios.h>.
#include "serial/serial_port_posix.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace SerialPortPosix {

bool setCustomLineRate(int descriptor, uint32_t rate) {
    termios2 settings{};
    if (ioctl(descriptor, TCGETS2, &settings) != 0) {
        return false;
    }
    settings.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    settings.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    settings.c_ispeed = rate;
    settings.c_ospeed = rate;
    return ioctl(descriptor, TCSETS2, &settings) == 0;
}

} // namespace SerialPortPosix
