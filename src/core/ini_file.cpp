#include "core/ini_file.h"

#include "core/errors.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace km40r {
namespace {

struct Line {
    std::size_t begin;   // first byte of the line
    std::size_t end;     // one past its last byte, before the line break
    std::size_t next;    // first byte of the following line
};

enum class Kind { Blank, Comment, Section, Entry, Other };

struct Parsed {
    Kind kind = Kind::Other;
    std::string_view name;  // section or key name, trimmed
    std::string_view value; // entry value, trimmed (quotes still on)
};

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view trim(std::string_view s) {
    while (!s.empty() && isBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool sameName(std::string_view a, std::string_view b) {
    a = trim(a), b = trim(b);
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i]))
            return false;
    return true;
}

std::vector<Line> splitLines(std::string_view s) {
    std::vector<Line> lines;
    std::size_t begin = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\r' || s[i] == '\n') {
            std::size_t next = i + 1;
            if (s[i] == '\r' && next < s.size() && s[next] == '\n')
                ++next;
            lines.push_back({begin, i, next});
            begin = next;
            i = next - 1;
        }
    }
    if (begin < s.size())
        lines.push_back({begin, s.size(), s.size()});
    return lines;
}

Parsed parse(std::string_view line) {
    const std::string_view t = trim(line);
    if (t.empty())
        return {Kind::Blank, {}, {}};
    if (t.front() == ';')
        return {Kind::Comment, {}, {}};
    if (t.front() == '[') {
        std::string_view name = t.substr(1);
        const auto close = name.find(']');
        if (close != std::string_view::npos)
            name = name.substr(0, close);
        return {Kind::Section, trim(name), {}};
    }
    const auto eq = t.find('=');
    if (eq == std::string_view::npos)
        return {Kind::Other, {}, {}};
    return {Kind::Entry, trim(t.substr(0, eq)), trim(t.substr(eq + 1))};
}

bool enclosedInQuotes(std::string_view v) {
    return v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.front() == v.back();
}

std::string_view unquote(std::string_view v) {
    return enclosedInQuotes(v) ? v.substr(1, v.size() - 2) : v;
}

// The form of a value in the file that reads back as exactly the value.
std::string storedForm(std::string_view value) {
    std::string v(value);
    for (char& c : v)
        if (c == '\r' || c == '\n')
            c = ' ';
    const bool needsQuotes =
        !v.empty() && (isBlank(v.front()) || isBlank(v.back()) || enclosedInQuotes(v));
    return needsQuotes ? '"' + v + '"' : v;
}

struct Location {
    bool sectionFound = false;
    std::size_t sectionLine = 0;   // index of the section header
    bool keyFound = false;
    std::size_t keyLine = 0;       // index of the entry
    std::size_t lastEntryLine = 0; // last entry of the section (or its header)
};

Location locate(std::string_view s, const std::vector<Line>& lines, std::string_view section,
                std::string_view key) {
    Location loc;
    bool inSection = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const Parsed p = parse(s.substr(lines[i].begin, lines[i].end - lines[i].begin));
        if (p.kind == Kind::Section) {
            if (inSection)
                break; // the first matching section ends here
            if (sameName(p.name, section)) {
                inSection = true;
                loc.sectionFound = true;
                loc.sectionLine = loc.lastEntryLine = i;
            }
        } else if (inSection && p.kind == Kind::Entry) {
            loc.lastEntryLine = i;
            if (!loc.keyFound && sameName(p.name, key)) {
                loc.keyFound = true;
                loc.keyLine = i;
            }
        }
    }
    return loc;
}

// Only a regular file is read. A pipe or a device has no end of its own:
// opening a pipe waits for a writer, reading a device may never end, and a
// write must not replace either with a file. So the open does not wait, and
// anything else that is there counts as unreadable.
bool readWholeFile(const std::string& path, std::string& out, bool& exists) {
    out.clear();
    exists = false;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        return errno == ENOENT || errno == ENOTDIR; // a missing file reads as empty
    }
    exists = true;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ::close(fd);
            return false;
        }
        if (n == 0)
            break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return true;
}

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::string directoryOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Replaces the file at target with content: a new file beside it, flushed,
// then renamed over it, then the directory flushed.
bool replaceFile(const std::string& target, std::string_view content, mode_t mode, bool keepMode) {
    std::string tmp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        tmp = target + ".tmp" + std::to_string(::getpid()) + "_" + std::to_string(attempt);
        fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            return false;
    }
    if (fd < 0)
        return false;
    bool ok = writeAll(fd, content);
    if (ok && keepMode)
        ok = ::fchmod(fd, mode) == 0;
    ok = ok && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (ok)
        ok = ::rename(tmp.c_str(), target.c_str()) == 0;
    if (!ok) {
        ::unlink(tmp.c_str());
        return false;
    }
    const int dir = ::open(directoryOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

} // namespace

std::string ProfileGet(std::string_view content, std::string_view section, std::string_view key) {
    const auto lines = splitLines(content);
    const Location loc = locate(content, lines, section, key);
    if (!loc.keyFound)
        return {};
    const Line& l = lines[loc.keyLine];
    return std::string(unquote(parse(content.substr(l.begin, l.end - l.begin)).value));
}

std::string ProfileSet(std::string_view content, std::string_view section, std::string_view key,
                       std::string_view value) {
    const auto lines = splitLines(content);
    const Location loc = locate(content, lines, section, key);
    const std::string entry = std::string(trim(key)) + "=" + storedForm(value);
    std::string out;
    out.reserve(content.size() + entry.size() + section.size() + 8);

    if (loc.keyFound) {
        const Line& l = lines[loc.keyLine];
        const std::string_view name =
            parse(content.substr(l.begin, l.end - l.begin)).name; // keep the file's spelling
        out.append(content.substr(0, l.begin));
        out.append(name);
        out += '=';
        out += storedForm(value);
        out.append(content.substr(l.end));
        return out;
    }
    if (loc.sectionFound) {
        const Line& after = lines[loc.lastEntryLine];
        out.append(content.substr(0, after.next));
        if (after.next == after.end) // the last line of the file had no break
            out += "\r\n";
        out += entry;
        out += "\r\n";
        out.append(content.substr(after.next));
        return out;
    }
    out.append(content);
    if (!out.empty() && out.back() != '\n' && out.back() != '\r')
        out += "\r\n";
    out += '[';
    out += trim(section);
    out += "]\r\n";
    out += entry;
    out += "\r\n";
    return out;
}

std::string ReadProfileString(const std::string& path, std::string_view section,
                              std::string_view key) {
    std::string content;
    bool exists = false;
    if (!readWholeFile(path, content, exists))
        return {};
    std::string value = ProfileGet(content, section, key);
    if (value.size() > kProfileValueLimit)
        value.resize(kProfileValueLimit);
    return value;
}

void WriteProfileString(const std::string& path, std::string_view section, std::string_view key,
                        std::string_view value) {
    // Write through a symbolic link to the file it names, never over the link.
    std::string target = path;
    if (char resolved[PATH_MAX]; ::realpath(path.c_str(), resolved) != nullptr)
        target = resolved;

    std::string content;
    bool exists = false;
    if (!readWholeFile(target, content, exists))
        throw EIniFileError::unableToWrite(path);
    // A file this process may not write is left alone, though the new file
    // would be renamed over it: asked with the process's effective rights,
    // as the write itself would be.
    struct stat st {};
    if (exists && (::stat(target.c_str(), &st) != 0 ||
                   ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0))
        throw EIniFileError::unableToWrite(path);
    if (!replaceFile(target, ProfileSet(content, section, key, value), st.st_mode & 07777, exists))
        throw EIniFileError::unableToWrite(path);
}

} // namespace km40r
