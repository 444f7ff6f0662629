// Reading one table of a Jet 4 database through libmdb, in a child process.
//
// Principles of operation: libmdb trusts the file it reads. On a damaged or
// hostile file it may read past its buffers, crash, allocate without bound
// or loop, and it prints its own messages to stderr. So the read runs in a
// forked child process that holds a copy of the file's bytes (the parent
// has already read and checked them; the child never opens a path):
//
//   - the child sends its standard streams to /dev/null, clears the
//     environment variables libmdb reads (MDBICONV, which would change the
//     text encoding, MDBOPTS, MDBPATH, MDB_JET3_CHARSET), opens the bytes
//     with mdb_open_buffer, finds the table and the asked-for fields, checks
//     their types, reads every row, and writes the result to a pipe: a status,
//     the rows as UTF-8 fields, and an end mark; then it leaves with _exit;
//   - the parent reads the pipe until the end, with a deadline and a limit on
//     the bytes, kills the child when either is passed, reaps it, and checks
//     the message strictly. A crash, a non-zero exit, a timeout, a short or
//     malformed message, or fewer rows than the table definition counts all
//     come back as Status::Damaged, never as a partial result.
//
// Rows come in the table's physical order (the order libmdb reads them).
// NULL and empty text both read as an empty text. The fork happens in a
// process that may have other threads; the child uses only libmdb, glib,
// malloc and iconv, and the deadline bounds the rare case of a lock held at
// the moment of the fork.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace km40r::jet {

// What a field must be.
enum class FieldKind {
    Text, // Text
    Long, // Long Integer (autonumber or not)
};

struct FieldSpec {
    std::string name; // compared without regard to ASCII letter case
    FieldKind kind = FieldKind::Text;
};

struct ReadLimits {
    std::chrono::milliseconds timeout{15000};
    std::size_t maxBytes = std::size_t{256} << 20; // of the child's message
};

struct TableContent {
    enum class Status {
        Ok,
        NoTable,   // no user table of that name
        NoField,   // `field` is missing
        WrongType, // `field` has another type, named in `actualType`
        Damaged,   // libmdb could not read the file; `detail` says why
    };
    Status status = Status::Damaged;
    std::string field;                          // NoField, WrongType
    std::string actualType;                     // WrongType: "Memo", "Integer", ...
    std::string detail;                         // Damaged: for diagnostics only
    std::vector<std::vector<std::string>> rows; // Ok: one UTF-8 text per field
};

// Reads the named fields of every row of a table from a database file's
// bytes. The caller checks the header page (jet_header.h) first.
TableContent ReadTable(std::string_view file, std::string_view table,
                       const std::vector<FieldSpec>& fields, const ReadLimits& limits = {});

} // namespace km40r::jet
