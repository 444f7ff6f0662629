// The serial ports this machine has, by the names the serial port component
// opens ("ttyS0", "ttyUSB0", ...).
//
// Principles of operation: every entry of the kernel's tty class
// (<sysRoot>/class/tty) that is backed by a device (has a "device" link) is a
// port, except legacy UART slots the kernel found no hardware for (their
// "type" reads 0). Virtual terminals and pseudo-terminals have no device and
// are left out. The names come in natural order: ttyACM0, ttyS1, ttyS2,
// ttyS10, ttyUSB0.
#pragma once

#include <string>
#include <vector>

namespace km40r {

std::vector<std::string> ListSerialPorts(const std::string& sysRoot = "/sys");

// Natural order: runs of digits compare by their value.
bool NaturalLess(const std::string& a, const std::string& b);

} // namespace km40r
