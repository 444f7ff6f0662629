// Baud rates of a terminal, standard or not.
//
// Principles of operation: the classic termios interface only knows a fixed
// list of speeds (B50 ... B4000000). Linux also takes any rate through its
// second termios record (the BOTHER flag with the rate in bits per second),
// which drivers of real UARTs and USB adapters honour. These two functions
// speak that record, so the rest of the component can ask for any rate and
// read back the rate the driver actually keeps. They live in their own file
// because the kernel's record and the C library's termios cannot be declared
// in one translation unit.
#pragma once

#include <cstdint>

namespace km40r {

// Sets the input and output speed of the terminal open at fd to baud bits
// per second, keeping every other setting. Returns false with errno set
// when the driver rejects the call.
bool SetLineBaudRate(int fd, std::uint32_t baud);

// The output speed, in bits per second, that the terminal open at fd is set
// to, whether standard or not. Returns 0 when it cannot be read.
std::uint32_t LineBaudRate(int fd);

} // namespace km40r
