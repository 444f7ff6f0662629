// What the fuzz targets share: a check that stops the run with a readable
// report (libFuzzer then saves the input), and a printable form of bytes.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace km40r::fuzz {

// Bytes as a C string literal: printable ASCII as it is, the rest escaped.
inline std::string Quote(std::string_view bytes) {
    std::string out = "\"";
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (b >= 32 && b < 127) {
            out += c;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", b);
            out += hex;
        }
    }
    return out + "\"";
}

// An error message as what() gives it: up to its first zero byte (a text
// with a zero byte in it appears in a message only up to there).
inline std::string AsWhat(const std::string& message) {
    return message.c_str();
}

[[noreturn]] inline void Fail(const char* condition, const char* file, int line,
                              const std::string& detail) {
    std::fprintf(stderr, "\n%s:%d: check failed: %s\n%s\n", file, line, condition, detail.c_str());
    std::abort();
}

} // namespace km40r::fuzz

// Stops the run when condition is false; detail (a std::string expression)
// says what was compared. It is only evaluated on failure.
#define FUZZ_CHECK(condition, detail)                                                              \
    do {                                                                                           \
        if (!(condition))                                                                          \
            ::km40r::fuzz::Fail(#condition, __FILE__, __LINE__, (detail));                         \
    } while (false)
