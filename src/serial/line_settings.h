// Line settings of a serial port: speed, character size, parity, stop bits.
//
// Principles of operation: the settings are plain values chosen by the user.
// Their members keep the order and numbering of the platform codes that the
// settings of earlier installations were written with (no parity 0, odd 1,
// even 2, mark 3, space 4; one stop bit 0, one and a half 1, two 2), and each
// is stored in one byte. The worker applies them to the terminal and reads
// them back, so a setting the driver does not take is reported, never
// silently replaced (see comm_thread.h).
#pragma once

#include <cstdint>
#include <string>

namespace km40r {

// Parity bit of each character.
enum TParity : std::uint8_t { ptNONE, ptODD, ptEVEN, ptMARK, ptSPACE };

// Stop bits of each character. The third member is spelled with n in place
// of b, as settings written by earlier installations spell it.
enum TStopBit : std::uint8_t { sbONE, sbONE5, snTWO };

// The four line settings together.
struct TLineSettings {
    std::uint32_t Baud = 9600;
    std::uint8_t DataBits = 8;
    TParity Parity = ptNONE;
    TStopBit StopBits = sbONE;
};

// The name of a parity as messages show it: "no parity", "odd parity", ...
// A value outside the enumeration gives "parity N".
std::string ParityName(TParity parity);

// The name of a stop-bit setting as messages show it: "1 stop bit",
// "1.5 stop bits", "2 stop bits"; a value outside the enumeration gives
// "stop bits N".
std::string StopBitsName(TStopBit stopBits);

} // namespace km40r
