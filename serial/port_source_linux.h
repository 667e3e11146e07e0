// Where the Linux device walk looks for ports; tests point it at a fake tree.
#pragma once

namespace PortDiscovery {

// ttyClassDir: the tty class folder of sysfs ("/sys/class/tty"); devDir: where the device nodes
// live ("/dev"). The defaults are those, or UARTFLASH_SYSFS_TTY and UARTFLASH_DEV_DIR when set.
void setDeviceRoots(const char* ttyClassDir, const char* devDir);

} // namespace PortDiscovery
