// Writing small Jet 4 database files.
//
// Principles of operation: no library writes Jet 4 files, so this module
// lays out the few structures that readers (libmdb, mdb-reader and our own
// header check) need, and nothing more. A file is built whole in memory:
//
//   page 0      the header page (jet_header.h): password, creation date
//   page 1      a data page owned by no table, holding every table's two
//               usage maps (a type-0 map: a start page and a bitmap of the
//               table's data pages; the free-space map is empty)
//   page 2      the table definition of the system catalogue MSysObjects
//   page 3      its data page: the "Tables" container, MSysObjects itself
//               and one row per user table (Type 1, Id = the page of the
//               table's definition)
//   then        for each user table its definition page, followed by its
//               data pages
//
// A table definition page holds the row count, the last autonumber value,
// the column entries (25 bytes each: type, number, variable or fixed
// offset, flags, length) and the column names. A data page holds rows
// packed from the end of the page, with their offsets after the page
// header. A row is: column count, fixed-length fields, variable-length
// fields, end-of-data offset, the variable fields' offsets in reverse
// order, their count, and a null mask (bit set = not null).
//
// Text is UCS-2. A text is written "compressed" (FF FE, then one byte per
// character below U+0100, a zero byte switching to and from two-byte
// characters) when that is shorter and no character has a zero low byte,
// which the compressed form cannot carry. Tables have no indexes. The files
// are for these readers; nobody promises that other database products
// open them.
#pragma once

#include "core/errors.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace km40r::jet {

// Column types the writer can lay out.
enum class ColumnType : std::uint8_t {
    Integer = 0x03,  // 16-bit
    Long = 0x04,     // 32-bit
    DateTime = 0x08, // double, days since 1899-12-30
    Text = 0x0A,     // UCS-2, up to `length` characters (at most 255)
    Ole = 0x0B,      // long binary: NULL only
    Memo = 0x0C,     // long text: NULL only
};

struct Column {
    std::string name; // UTF-8
    ColumnType type = ColumnType::Text;
    std::uint16_t length = 0; // characters, for Text
    bool autoNumber = false;  // for Long: NULL values are numbered 1, 2, ...
};

// A field value: NULL, a whole number (Integer, Long), a date (DateTime),
// or a UTF-8 text (Text).
using Value = std::variant<std::monostate, std::int64_t, double, std::string>;

struct Table {
    std::string name; // UTF-8
    std::vector<Column> columns;
    std::vector<std::vector<Value>> rows; // one value per column
};

struct WriteOptions {
    std::u16string password; // empty: none; at most 20 code units
    double creationDate = 0; // days since 1899-12-30; see OleDateFromUnixTime
    bool compressText = true;
};

// A value that the writer cannot lay out (wrong kind, out of range, too
// long, not UTF-8), or a table that does not fit the file's limits.
class EJetWriteError : public Error {
public:
    using Error::Error;
};

// The UTF-16 code units of a UTF-8 text; empty when the text is not valid
// UTF-8 or holds a character outside the Basic Multilingual Plane (Jet 4
// text is UCS-2).
std::optional<std::u16string> Utf8ToUcs2(std::string_view utf8);

// Days since 1899-12-30 for a time in seconds since 1970-01-01 UTC.
double OleDateFromUnixTime(double seconds);

// The bytes of a database file holding these user tables. Throws
// EJetWriteError naming the table, row (1-based) and column of a value
// that cannot be written.
std::string BuildDatabase(const std::vector<Table>& tables, const WriteOptions& options);

// Writes bytes to path (UTF-8) through a temporary file in the same folder
// that is flushed and renamed over path. Throws EJetWriteError with the
// system's reason when it cannot.
void WriteFileAtomically(const std::string& path, std::string_view bytes);

} // namespace km40r::jet
