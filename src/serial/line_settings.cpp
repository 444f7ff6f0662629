#include "serial/line_settings.h"

namespace km40r {

std::string ParityName(TParity parity) {
    switch (parity) {
    case ptNONE:
        return "no parity";
    case ptODD:
        return "odd parity";
    case ptEVEN:
        return "even parity";
    case ptMARK:
        return "mark parity";
    case ptSPACE:
        return "space parity";
    }
    return "parity " + std::to_string(static_cast<unsigned>(parity));
}

std::string StopBitsName(TStopBit stopBits) {
    switch (stopBits) {
    case sbONE:
        return "1 stop bit";
    case sbONE5:
        return "1.5 stop bits";
    case snTWO:
        return "2 stop bits";
    }
    return "stop bits " + std::to_string(static_cast<unsigned>(stopBits));
}

} // namespace km40r
