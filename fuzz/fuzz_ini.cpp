// Fuzz target: the profile-style INI reader and writer.
//
// The input is a file's bytes, less its last few bytes, which choose a write:
// a section and key of the file or a new one (in another letter case or with
// blanks around, sometimes), and a value (tricky ones, or a piece of the
// file). Every key the file holds must read as a plain model of the rules in
// core/ini_file.h reads it; after the write, the written key must read back
// as the value (line breaks as blanks), every other key as before, and the
// file may differ from the old one only within one line and by added text.
// The same runs once through a real file (ReadProfileString,
// WriteProfileString) in a temporary folder, in memory where possible.
#include "fuzz_check.h"

#include "core/ini_file.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

using namespace km40r;
using fuzz::Quote;

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && isBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

bool sameName(std::string_view a, std::string_view b) {
    a = trimmed(a), b = trimmed(b);
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](char x, char y) { return lower(x) == lower(y); });
}

// A line of the file as the model reads it.
struct ModelLine {
    enum { Section, Entry, Nothing } kind = Nothing;
    std::string name, value; // trimmed; value with its quotes
};

std::vector<ModelLine> modelLines(std::string_view file) {
    std::vector<ModelLine> out;
    std::size_t at = 0;
    while (at < file.size()) {
        const std::size_t end = std::min(file.find_first_of("\r\n", at), file.size());
        const std::string_view line = trimmed(file.substr(at, end - at));
        at = end + ((end + 1 < file.size() && file[end] == '\r' && file[end + 1] == '\n') ? 2 : 1);
        ModelLine l;
        if (line.starts_with('[')) {
            l.kind = ModelLine::Section;
            l.name = trimmed(line.substr(1, line.find(']') == std::string_view::npos
                                                ? std::string_view::npos
                                                : line.find(']') - 1));
        } else if (!line.starts_with(';') && line.find('=') != std::string_view::npos) {
            l.kind = ModelLine::Entry;
            l.name = trimmed(line.substr(0, line.find('=')));
            l.value = trimmed(line.substr(line.find('=') + 1));
        }
        out.push_back(l);
    }
    return out;
}

// The first matching key of the first matching section, without a pair of
// matching quotes around it.
std::string modelGet(const std::vector<ModelLine>& lines, std::string_view section,
                     std::string_view key) {
    bool inSection = false;
    for (const ModelLine& l : lines) {
        if (l.kind == ModelLine::Section) {
            if (inSection)
                return {};
            inSection = sameName(l.name, section);
        } else if (inSection && l.kind == ModelLine::Entry && sameName(l.name, key)) {
            const std::string& v = l.value;
            const bool quoted = v.size() >= 2 && (v[0] == '"' || v[0] == '\'') && v[0] == v.back();
            return quoted ? v.substr(1, v.size() - 2) : v;
        }
    }
    return {};
}

std::string cut(std::string s) {
    if (s.size() > kProfileValueLimit)
        s.resize(kProfileValueLimit);
    return s;
}

// A name in another letter case and with blanks around, by the bits of how.
std::string variant(std::string name, unsigned how) {
    if (how & 1)
        for (char& c : name)
            if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))
                c ^= 0x20;
    if (how & 2)
        name = " \t" + name + " ";
    return name;
}

struct Folder {
    std::string path;
    Folder() {
        for (const char* base : {"/dev/shm", "/tmp"}) {
            std::string pattern = std::string(base) + "/km40r-fuzz-ini-XXXXXX";
            if (::mkdtemp(pattern.data()) != nullptr) {
                path = pattern;
                return;
            }
        }
        std::abort();
    }
    ~Folder() {
        std::remove((path + "/settings.ini").c_str());
        ::rmdir(path.c_str());
    }
};

std::string fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const auto sectionChoice = input.ConsumeIntegral<std::uint8_t>();
    const auto keyChoice = input.ConsumeIntegral<std::uint8_t>();
    const auto valueChoice = input.ConsumeIntegral<std::uint8_t>();
    const auto how = input.ConsumeIntegral<std::uint8_t>();
    const auto pieceAt = input.ConsumeIntegral<std::uint16_t>();
    const auto pieceLength = input.ConsumeIntegral<std::uint16_t>();
    const std::string before = input.ConsumeRemainingBytesAsString();

    // The file's sections and keys, read by the model.
    const std::vector<ModelLine> lines = modelLines(before);
    std::vector<std::string> sections;
    std::vector<std::pair<std::string, std::string>> pairs; // section, key
    std::string current;
    bool inSection = false;
    for (const ModelLine& l : lines) {
        if (l.kind == ModelLine::Section) {
            current = l.name, inSection = true;
            sections.push_back(l.name);
        } else if (l.kind == ModelLine::Entry && inSection && pairs.size() < 64) {
            pairs.emplace_back(current, l.name);
        }
    }

    // The write: names of the file or new ones, and a value.
    static const std::string kSections[] = {"ayar", "makro", "DB", "", "yeni bolum"};
    static const std::string kKeys[] = {"makro1", "sifre", "chcrlf", "k", ""};
    static const std::string kValues[] = {"",
                                          " lead",
                                          "trail ",
                                          "\"q\"",
                                          "'q'",
                                          "a\r\nb",
                                          "\r",
                                          "\"",
                                          "x=y",
                                          "[s]",
                                          ";c",
                                          "\t",
                                          "'",
                                          "\"a'",
                                          "\"\"",
                                          std::string(3000, 'v'),
                                          std::string("nul\0byte", 8)};
    const std::string section = sectionChoice < sections.size()
                                    ? variant(sections[sectionChoice], how)
                                    : variant(kSections[sectionChoice % 5], how);
    std::vector<std::string> keysOfSection;
    for (const auto& [s, k] : pairs)
        if (sameName(s, section))
            keysOfSection.push_back(k);
    const std::string key = keyChoice < keysOfSection.size()
                                ? variant(keysOfSection[keyChoice], how >> 2)
                                : variant(kKeys[keyChoice % 5], how >> 2);
    const std::size_t valueCount = std::size(kValues);
    const std::string value =
        valueChoice < valueCount
            ? kValues[valueChoice]
            : before.substr(std::min<std::size_t>(pieceAt, before.size()), pieceLength % 300);
    std::string stored = value;
    for (char& c : stored)
        if (c == '\r' || c == '\n')
            c = ' ';
    pairs.emplace_back(section, key);

    // Reading, before and after the write.
    const std::string after = ProfileSet(before, section, key, value);
    const std::vector<ModelLine> linesAfter = modelLines(after);
    for (const auto& pair : pairs) {
        const std::string& s = pair.first;
        const std::string& k = pair.second;
        const auto where = [&] {
            return "section " + Quote(s) + " key " + Quote(k) + " in\n" + Quote(before) +
                   "\nafter writing section " + Quote(section) + " key " + Quote(key) + " value " +
                   Quote(value) + ":\n" + Quote(after) + "\n";
        };
        const std::string old = ProfileGet(before, s, k);
        FUZZ_CHECK(old == modelGet(lines, s, k), where() + "read " + Quote(old));
        const std::string now = ProfileGet(after, s, k);
        FUZZ_CHECK(now == modelGet(linesAfter, s, k), where() + "read after " + Quote(now));
        if (sameName(s, section) && sameName(k, key))
            FUZZ_CHECK(now == stored, where() + "read back " + Quote(now));
        else
            FUZZ_CHECK(now == old, where() + "changed to " + Quote(now));
    }

    // The write removed nothing but part of one line.
    std::size_t prefix = 0, suffix = 0;
    while (prefix < before.size() && prefix < after.size() && before[prefix] == after[prefix])
        ++prefix;
    while (suffix < before.size() - prefix && suffix < after.size() - prefix &&
           before[before.size() - 1 - suffix] == after[after.size() - 1 - suffix])
        ++suffix;
    const std::string removed = before.substr(prefix, before.size() - prefix - suffix);
    FUZZ_CHECK(removed.find_first_of("\r\n") == std::string::npos,
               "removed " + Quote(removed) + " from " + Quote(before));

    // The same through a file.
    static Folder folder;
    const std::string path = folder.path + "/settings.ini";
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(before.data(), static_cast<std::streamsize>(before.size()));
    }
    FUZZ_CHECK(ReadProfileString(path, section, key) == cut(ProfileGet(before, section, key)),
               "read from the file");
    WriteProfileString(path, section, key, value);
    FUZZ_CHECK(fileBytes(path) == after, "file after the write " + Quote(fileBytes(path)));
    FUZZ_CHECK(ReadProfileString(path, section, key) == cut(stored), "read back from the file");
    return 0;
}
