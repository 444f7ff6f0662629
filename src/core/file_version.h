// The file version of an executable.
//
// Principles of operation: the build embeds a VersionRecord into the
// executable, in the ELF section ".km40r_version" (see cmake/Km40r.cmake). Its
// fixed block holds the four numbers major.minor.release.build as two 32-bit
// halves: ms = major << 16 | minor, ls = release << 16 | build. A record whose
// signature is not kVersionSignature carries no fixed block.
//
// FileVersionText(path) reads the record from the file itself:
//   - "major.minor.release" ("%d.%d.%d"; the build number is not shown);
//   - "?.?.?" when the file cannot be read or has no version record;
//   - "" when the record is there but holds no fixed version block.
#pragma once

#include <cstdint>
#include <string>

namespace km40r {

inline constexpr std::uint32_t kVersionSignature = 0xFEEF04BDu;
inline constexpr std::uint32_t kVersionStructVersion = 0x00010000u;
inline constexpr const char* kVersionSectionName = ".km40r_version";

struct VersionRecord {
    std::uint32_t signature;
    std::uint32_t structVersion;
    std::uint32_t fileVersionMS;
    std::uint32_t fileVersionLS;
};
static_assert(sizeof(VersionRecord) == 16);

std::string FileVersionText(const std::string& path);

} // namespace km40r
