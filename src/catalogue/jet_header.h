// The header page of a Jet 4 database file, and the database password in it.
//
// Principles of operation: a Jet 4 file is a sequence of 4096-byte pages.
// Page 0 starts with a zero byte, the text "Standard Jet DB" and a NUL at
// offsets 4..19, and the version byte 0x01 at offset 0x14. Its 128 bytes
// from 0x18 are stored XORed with the RC4 keystream of the fixed key
// C7 DA 39 6B; once that is undone, the page holds the code page (0x3C),
// the database key (0x3E, non-zero when the data pages are RC4-encrypted),
// the database password (0x42, 40 bytes), the sort order (0x6E) and the
// creation date (0x72, a little-endian double counting days since
// 1899-12-30).
//
// The password is UCS-2 little-endian, at most 20 characters, padded with
// zeros, and XORed with a 4-byte mask repeated over its 40 bytes: the
// creation date cut to a 32-bit integer, little-endian. An empty password
// is stored masked as well. Neither libmdb nor any other reader checks it;
// this module does, before any other page of the file is looked at.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace km40r::jet {

inline constexpr std::size_t kPageSize = 4096;

// The longest database password, in UTF-16 code units.
inline constexpr std::size_t kMaxPasswordLength = 20;

// What the header page tells.
struct Header {
    std::u16string password; // the stored database password; empty: none
    double creationDate = 0; // days since 1899-12-30
    std::uint16_t codePage = 0;
    std::uint32_t databaseKey = 0; // non-zero: data pages are RC4-encrypted
};

// XORs data with the RC4 keystream of key (the same call encrypts and
// decrypts).
void Rc4Apply(std::span<const std::uint8_t> key, std::span<std::uint8_t> data);

// Decodes the header page at the start of a file's bytes. Empty when the
// bytes do not start with a Jet 4 header page (too short, another engine
// or another version, such as Jet 3 or a later format).
std::optional<Header> ReadHeader(std::string_view file);

// True when a password given by the user (code page 1254 bytes, as the
// password file holds it) opens a database with this header. The check is
// exact and case-sensitive. A database without a password accepts any
// password, as the database engine does: the password only guards
// databases that have one.
bool PasswordOpens(const Header& header, std::string_view cp1254Password);

// A new header page (kPageSize bytes) for a database with this password
// (at most kMaxPasswordLength code units) and creation date, no page
// encryption, code page 1252 and the general sort order.
std::string MakeHeaderPage(std::u16string_view password, double creationDate);

} // namespace km40r::jet
