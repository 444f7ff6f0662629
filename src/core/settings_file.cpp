#include "core/settings_file.h"

#include "core/ini_file.h"

#include <climits>
#include <cstdlib>
#include <unistd.h>

namespace km40r {
namespace {

std::string& executablePathOverride() {
    static std::string path;
    return path;
}

std::string realExecutablePath() {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return "./km40r";
    return std::string(buf, static_cast<std::size_t>(n));
}

} // namespace

std::string ExecutablePath() {
    const std::string& override = executablePathOverride();
    return override.empty() ? realExecutablePath() : override;
}

void SetExecutablePath(std::string path) { executablePathOverride() = std::move(path); }

std::string InvokedExecutablePath(const char* argv0) {
    const std::string given = argv0 != nullptr ? argv0 : "";
    const auto slash = given.rfind('/');
    if (slash == std::string::npos || slash + 1 == given.size())
        return realExecutablePath();
    const std::string folder = slash == 0 ? "/" : given.substr(0, slash);
    char resolved[PATH_MAX];
    if (::realpath(folder.c_str(), resolved) == nullptr)
        return realExecutablePath();
    std::string path = resolved;
    if (path.back() != '/')
        path += '/';
    return path + given.substr(slash + 1);
}

std::string ExecutableDirectory() {
    const std::string exe = ExecutablePath();
    const auto slash = exe.rfind('/');
    return slash == std::string::npos ? std::string("./") : exe.substr(0, slash + 1);
}

std::string IniFilePath(std::string_view baseName) {
    if (!baseName.empty())
        return ExecutableDirectory() + std::string(baseName) + ".ini";
    const std::string exe = ExecutablePath();
    const auto slash = exe.rfind('/');
    const auto nameStart = slash == std::string::npos ? 0 : slash + 1;
    const auto dot = exe.rfind('.');
    if (dot != std::string::npos && dot > nameStart)
        return exe.substr(0, dot) + ".ini";
    return exe + ".ini";
}

std::string ReadIniValue(std::string_view section, std::string_view key,
                         std::string_view defaultValue, std::string_view baseName) {
    const std::string path = IniFilePath(baseName);
    std::string value = ReadProfileString(path, section, key);
    if (!value.empty())
        return value;
    WriteProfileString(path, section, key, defaultValue);
    return std::string(defaultValue);
}

void WriteIniValue(std::string_view section, std::string_view key, std::string_view value,
                   std::string_view baseName) {
    WriteProfileString(IniFilePath(baseName), section, key, value);
}

} // namespace km40r
