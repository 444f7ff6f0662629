#include "core/file_version.h"

#include <cstring>
#include <elf.h>
#include <fstream>
#include <optional>
#include <vector>

namespace km40r {
namespace {

bool readAt(std::ifstream& in, std::uint64_t offset, void* out, std::size_t size) {
    in.clear();
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(static_cast<char*>(out), static_cast<std::streamsize>(size));
    return static_cast<std::size_t>(in.gcount()) == size;
}

// The bytes of the version section of a 64-bit little-endian ELF file, or
// nothing when the file is not one or has no such section.
std::optional<std::vector<char>> versionSection(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    in.seekg(0, std::ios::end);
    const auto fileSize = static_cast<std::uint64_t>(in.tellg());

    Elf64_Ehdr eh{};
    if (!readAt(in, 0, &eh, sizeof eh) || std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 ||
        eh.e_ident[EI_CLASS] != ELFCLASS64 || eh.e_ident[EI_DATA] != ELFDATA2LSB ||
        eh.e_shentsize != sizeof(Elf64_Shdr) || eh.e_shstrndx >= eh.e_shnum)
        return std::nullopt;
    if (eh.e_shoff > fileSize || eh.e_shnum > (fileSize - eh.e_shoff) / sizeof(Elf64_Shdr))
        return std::nullopt;

    std::vector<Elf64_Shdr> sections(eh.e_shnum);
    if (!readAt(in, eh.e_shoff, sections.data(), sections.size() * sizeof(Elf64_Shdr)))
        return std::nullopt;
    const Elf64_Shdr& names = sections[eh.e_shstrndx];
    if (names.sh_offset > fileSize || names.sh_size > fileSize - names.sh_offset)
        return std::nullopt;
    std::vector<char> nameTable(names.sh_size + 1, '\0');
    if (!readAt(in, names.sh_offset, nameTable.data(), names.sh_size))
        return std::nullopt;

    for (const Elf64_Shdr& s : sections) {
        if (s.sh_name >= names.sh_size ||
            std::strcmp(&nameTable[s.sh_name], kVersionSectionName) != 0)
            continue;
        if (s.sh_type == SHT_NOBITS || s.sh_offset > fileSize ||
            s.sh_size > fileSize - s.sh_offset || s.sh_size > 4096)
            return std::nullopt;
        std::vector<char> bytes(s.sh_size);
        if (!readAt(in, s.sh_offset, bytes.data(), bytes.size()))
            return std::nullopt;
        return bytes;
    }
    return std::nullopt;
}

} // namespace

std::string FileVersionText(const std::string& path) {
    const auto bytes = versionSection(path);
    if (!bytes)
        return "?.?.?";
    VersionRecord rec{};
    if (bytes->size() < sizeof rec)
        return {};
    std::memcpy(&rec, bytes->data(), sizeof rec);
    if (rec.signature != kVersionSignature)
        return {};
    return std::to_string(rec.fileVersionMS >> 16) + "." +
           std::to_string(rec.fileVersionMS & 0xFFFF) + "." +
           std::to_string(rec.fileVersionLS >> 16);
}

} // namespace km40r
