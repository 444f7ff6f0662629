#include "catalogue/jet_header.h"

#include "core/cp1254.h"

#include <array>
#include <cmath>
#include <cstring>
#include <limits>

namespace km40r::jet {
namespace {

constexpr std::size_t kEncryptedStart = 0x18;
constexpr std::size_t kEncryptedLength = 128;
constexpr std::size_t kVersionOffset = 0x14;
constexpr std::size_t kCodePageOffset = 0x3C;
constexpr std::size_t kDatabaseKeyOffset = 0x3E;
constexpr std::size_t kPasswordOffset = 0x42;
constexpr std::size_t kPasswordBytes = 2 * kMaxPasswordLength;
constexpr std::size_t kSortOrderOffset = 0x6E;
constexpr std::size_t kCreationDateOffset = 0x72;
constexpr std::array<std::uint8_t, 4> kHeaderKey = {0xC7, 0xDA, 0x39, 0x6B};
constexpr std::string_view kEngineName{"Standard Jet DB\0", 16};
constexpr std::uint8_t kJet4 = 0x01;

std::uint16_t get16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

std::uint32_t get32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void put16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

void put32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// The 4-byte password mask: the creation date cut towards zero to a 32-bit
// integer. A date outside that range (never written by the engine) masks
// with zeros rather than overflowing.
std::array<std::uint8_t, 4> passwordMask(double creationDate) {
    std::array<std::uint8_t, 4> mask{};
    if (std::isfinite(creationDate) &&
        creationDate > static_cast<double>(std::numeric_limits<std::int32_t>::min()) - 1 &&
        creationDate < static_cast<double>(std::numeric_limits<std::int32_t>::max()) + 1)
        put32(mask.data(), static_cast<std::uint32_t>(static_cast<std::int32_t>(creationDate)));
    return mask;
}

} // namespace

void Rc4Apply(std::span<const std::uint8_t> key, std::span<std::uint8_t> data) {
    std::array<std::uint8_t, 256> s{};
    for (int i = 0; i < 256; ++i)
        s[i] = static_cast<std::uint8_t>(i);
    std::uint8_t j = 0;
    for (int i = 0; i < 256; ++i) {
        j = static_cast<std::uint8_t>(j + s[i] + key[i % key.size()]);
        std::swap(s[i], s[j]);
    }
    std::uint8_t a = 0;
    std::uint8_t b = 0;
    for (auto& byte : data) {
        a = static_cast<std::uint8_t>(a + 1);
        b = static_cast<std::uint8_t>(b + s[a]);
        std::swap(s[a], s[b]);
        byte ^= s[static_cast<std::uint8_t>(s[a] + s[b])];
    }
}

std::optional<Header> ReadHeader(std::string_view file) {
    if (file.size() < kPageSize)
        return std::nullopt;
    std::array<std::uint8_t, kPageSize> page;
    std::memcpy(page.data(), file.data(), kPageSize);
    if (page[0] != 0x00 || file.substr(4, kEngineName.size()) != kEngineName ||
        page[kVersionOffset] != kJet4)
        return std::nullopt;
    Rc4Apply(kHeaderKey, std::span(page).subspan(kEncryptedStart, kEncryptedLength));

    Header header;
    header.codePage = get16(&page[kCodePageOffset]);
    header.databaseKey = get32(&page[kDatabaseKeyOffset]);
    std::memcpy(&header.creationDate, &page[kCreationDateOffset], sizeof(double));
    const auto mask = passwordMask(header.creationDate);
    for (std::size_t i = 0; i < kPasswordBytes; i += 2) {
        const auto lo = static_cast<std::uint8_t>(page[kPasswordOffset + i] ^ mask[i % 4]);
        const auto hi =
            static_cast<std::uint8_t>(page[kPasswordOffset + i + 1] ^ mask[(i + 1) % 4]);
        const auto unit = static_cast<char16_t>(lo | hi << 8);
        if (unit == 0)
            break;
        header.password += unit;
    }
    return header;
}

bool PasswordOpens(const Header& header, std::string_view cp1254Password) {
    if (header.password.empty())
        return true;
    std::u16string given;
    for (const char c : cp1254Password)
        given += Cp1254ToUnicode(static_cast<unsigned char>(c));
    return given == header.password;
}

std::string MakeHeaderPage(std::u16string_view password, double creationDate) {
    std::array<std::uint8_t, kPageSize> page{};
    page[1] = 0x01;
    std::memcpy(&page[4], kEngineName.data(), kEngineName.size());
    page[kVersionOffset] = kJet4;
    // Fields the engine keeps in the encrypted range; their values are
    // those of files the engine itself creates.
    static constexpr std::uint8_t kSystemFields[] = {
        0x00, 0x01, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00,
        0x03, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00};
    std::memcpy(&page[kEncryptedStart], kSystemFields, sizeof kSystemFields);
    put16(&page[kCodePageOffset], 1252);
    put32(&page[kDatabaseKeyOffset], 0);
    const auto mask = passwordMask(creationDate);
    for (std::size_t i = 0; i < kPasswordBytes; i += 2) {
        const char16_t unit = i / 2 < password.size() ? password[i / 2] : u'\0';
        page[kPasswordOffset + i] = static_cast<std::uint8_t>((unit & 0xFF) ^ mask[i % 4]);
        page[kPasswordOffset + i + 1] = static_cast<std::uint8_t>((unit >> 8) ^ mask[(i + 1) % 4]);
    }
    put16(&page[kSortOrderOffset], 0x0409);
    std::memcpy(&page[kCreationDateOffset], &creationDate, sizeof(double));
    Rc4Apply(kHeaderKey, std::span(page).subspan(kEncryptedStart, kEncryptedLength));
    return std::string(reinterpret_cast<const char*>(page.data()), page.size());
}

} // namespace km40r::jet
