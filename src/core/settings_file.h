// The settings file and the other INI files beside the executable.
//
// Principles of operation: the settings file is the executable's full path
// with the extension of its file name replaced by ".ini" (appended when the
// name has none). A base name such as "DB" names "<executable's directory>/DB.ini".
// Every call opens and releases the file; nothing is cached, so callers may
// call in any order and at any time. Sections, keys and values are code page
// 1254 bytes and are stored and returned byte for byte.
#pragma once

#include <string>
#include <string_view>

namespace km40r {

// The running executable's full path (UTF-8). Tests may point it elsewhere
// with SetExecutablePath(); an empty path restores the real one.
std::string ExecutablePath();
void SetExecutablePath(std::string path);

// The path the program was started by. When argv0 names a path (holds a
// '/'), that path made absolute, its folders resolved but not its last part:
// a program started through a symbolic link keeps its files beside the link
// (how an installed copy gets a per-user folder). Otherwise, or when the
// folder does not resolve, the running image's own path.
std::string InvokedExecutablePath(const char* argv0);

// The executable's directory, with its trailing '/'.
std::string ExecutableDirectory();

// The path of the INI file with the given base name; empty means the
// settings file.
std::string IniFilePath(std::string_view baseName);

// The stored value, cut to 2047 characters; when it is empty, the default,
// which is then written back under the same section and key (even when the
// default is empty). Throws EIniFileError when that write fails.
std::string ReadIniValue(std::string_view section, std::string_view key,
                         std::string_view defaultValue, std::string_view baseName = {});

// Stores the value, flushed to disk before returning. Throws EIniFileError
// "Unable to write to %s" with the file's full path when it cannot.
void WriteIniValue(std::string_view section, std::string_view key, std::string_view value,
                   std::string_view baseName = {});

} // namespace km40r
