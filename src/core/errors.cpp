#include "core/errors.h"

#include "core/cp1254.h"

namespace km40r {

EListError EListError::outOfBounds(long long index) {
    std::string msg = "List index out of bounds (";
    msg += std::to_string(index);
    msg += ')';
    return EListError(msg);
}

EIniFileError EIniFileError::unableToWrite(const std::string& path) {
    // File system paths are UTF-8 here; the message is code page 1254.
    return EIniFileError(FormatMessage("Unable to write to %s", Utf8ToCp1254(path)));
}

std::string ErrorBoxText(std::string_view message) {
    std::string text(message);
    if (!text.empty() && static_cast<unsigned char>(text.back()) > static_cast<unsigned char>('.'))
        text += '.';
    return text;
}

std::string FormatMessage(std::string_view format, std::string_view text) {
    std::string out(format);
    const auto at = out.find("%s");
    if (at != std::string::npos)
        out.replace(at, 2, text);
    return out;
}

} // namespace km40r
