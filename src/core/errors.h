// Errors of the program.
//
// Principles of operation: an error inside an action ends that action. Each
// error carries the message the user sees, as code page 1254 bytes, exactly as
// the device and the settings file spell it. The one place that shows errors
// (the application's error box) adds a full stop by the rule in
// ErrorBoxText(). Nothing here knows about the user interface.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace km40r {

// Base of every error the program reports to the user. what() is the message
// in code page 1254 bytes.
class Error : public std::runtime_error {
public:
    explicit Error(const std::string& message) : std::runtime_error(message) {}
};

// A text that does not convert to a number or truth value.
class EConvertError : public Error {
public:
    using Error::Error;
};

// An index outside a list: "List index out of bounds (%d)".
class EListError : public Error {
public:
    using Error::Error;
    static EListError outOfBounds(long long index);
};

// A settings file that cannot be written: "Unable to write to %s".
class EIniFileError : public Error {
public:
    using Error::Error;
    static EIniFileError unableToWrite(const std::string& path);
};

// An error of the serial port component.
class EComError : public Error {
public:
    using Error::Error;
};

// An error of the socket layer.
class ESocketError : public Error {
public:
    using Error::Error;
};

// An error of the catalogue database.
class EDatabaseError : public Error {
public:
    using Error::Error;
};

// The text the error box shows for a message: a full stop is added when the
// last byte sorts after "." (so a message ending in a letter gets one, one
// ending in ")" or "." does not). An empty message stays empty.
std::string ErrorBoxText(std::string_view message);

// Replaces the first "%s" in a format with a text.
std::string FormatMessage(std::string_view format, std::string_view text);

} // namespace km40r
