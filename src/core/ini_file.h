// Profile-style INI files, read and written the way the Windows profile
// functions do it, so that files written by earlier installations keep
// working and files written here read back the same there.
//
// Principles of operation:
//   - A file is lines of 8-bit text; CR LF, a lone LF and a lone CR each end
//     a line. "[name]" starts a section; "key=value" is an entry of the
//     section above it; a line starting with ';' is a comment; other lines
//     are kept but mean nothing.
//   - Section and key names compare without regard to ASCII letter case, and
//     blanks (spaces and tabs) around names and values do not count. The
//     first matching section and, in it, the first matching key win.
//   - A value enclosed in a pair of matching quotes (" or ') reads without
//     them. To make every value read back exactly as written, a value that
//     starts or ends with a blank, or is itself enclosed in matching quotes,
//     is written inside double quotes. Line breaks cannot be stored in a
//     value; they are written as blanks.
//   - Writing changes only the one line of the entry (or adds it at the end
//     of its section, or adds the section at the end of the file); all other
//     bytes of the file stay as they were.
//   - Nothing is cached: every read opens, reads and closes the file; every
//     write builds the new file beside the old one, flushes it to disk and
//     renames it over the old one, so the file on disk is always either the
//     old or the new complete file.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace km40r {

// The longest value a read returns; a longer stored value is cut to this.
inline constexpr std::size_t kProfileValueLimit = 2047;

// The value of key in section within an INI text; empty when missing.
std::string ProfileGet(std::string_view content, std::string_view section, std::string_view key);

// The INI text with key in section set to value (entry and section created
// as needed).
std::string ProfileSet(std::string_view content, std::string_view section, std::string_view key,
                       std::string_view value);

// Reads a value from the file at path (UTF-8 file system path). A missing or
// unreadable file reads as empty; so does anything that is not a regular file
// (a folder, a pipe, a device), without waiting on it. The result is cut to
// kProfileValueLimit.
std::string ReadProfileString(const std::string& path, std::string_view section,
                              std::string_view key);

// Writes a value into the file at path, creating the file as needed. Throws
// EIniFileError "Unable to write to %s" (the full path) when the file or its
// directory cannot be written, or an existing file cannot be read or is not a
// regular file (it is left as it is).
void WriteProfileString(const std::string& path, std::string_view section, std::string_view key,
                        std::string_view value);

} // namespace km40r
