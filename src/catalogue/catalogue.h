// The settings catalogue: the data module `Tfm` with its connection `DB`,
// and the record set that the main window calls `tayar`.
//
// Principles of operation:
//   - `Tfm::DBBaglan(path)` closes `DB`, reads the database password from
//     "DB.ini" (section "DB", key "sifre", empty default written back when
//     missing, so a first start creates the file) and opens `DB` on the file.
//   - Opening the connection reads the whole file once, shared (nothing is
//     locked; other programs may have it open) and only for reading, then
//     checks the header page and the password (jet_header.h). No connection
//     string is built: any path and any password work.
//   - Opening the record set runs the one query of the catalogue,
//     "select * from ayar ORDER BY grup,ayar": every row of the table "ayar",
//     read through libmdb in a child process (jet_table_reader.h), converted
//     from Unicode to code page 1254 ('?' for characters the code page lacks),
//     and sorted stably by "grup" and then "ayar". The comparison is by byte
//     value of the 1254 texts; rows with equal codes keep the table's order.
//   - The rows stay in memory until the record set is closed; the file is not
//     read again, and closing or reopening DB leaves an open record set as
//     it is. A current row is the one the window's grid has focused.
//   - Failures raise EDatabaseError with a message in the database engine's
//     manner; nothing is left half open.
//
// The window side, at start-up:
//     fm.DBBaglan(ExecutableDirectory() + "km400.kmd");   // may throw
//     tayar.open();                                       // may throw
//     ...
//     tayar.first();
// then lists tayar.records() in the grid, calls tayar.moveTo(row) when the
// grid's focused row changes, and reads tayar.fieldByName("grup") etc.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace km40r {

// The fields of the table "ayar", in their declared order.
inline constexpr std::array<std::string_view, 7> kCatalogueFields = {
    "id", "grup", "ayar", "aciklama", "tur", "combo", "grupaciklama"};

// The catalogue's query.
inline constexpr std::string_view kCatalogueQuery = "select * from ayar ORDER BY grup,ayar";

// The database file's name beside the executable.
inline constexpr std::string_view kCatalogueFileName = "km400.kmd";

// One row of the catalogue; every field is code page 1254 text ("id" as
// decimal digits; NULL reads as empty).
struct CatalogueRecord {
    std::string id, grup, ayar, aciklama, tur, combo, grupaciklama;

    // The field at a position of kCatalogueFields.
    const std::string& field(std::size_t index) const;
};

// The connection `DB`: an open database file, checked and held in memory.
class CatalogueConnection {
public:
    // Opens the database file at path (a file system path, UTF-8) with a
    // password (code page 1254). Closes first. Throws EDatabaseError:
    //   "Could not find file '<path>'."              missing, or empty path
    //   "The database engine cannot open the file '<path>'. It is already
    //    opened exclusively by another user, or you need permission to view
    //    its data."                                  a folder, unreadable
    //   "Unrecognized database format '<path>'."     not a Jet 4 file
    //   "Not a valid password."                      wrong or missing password
    void open(const std::string& path, std::string_view password);
    void close();
    bool connected() const { return connected_; }
    const std::string& path() const { return path_; }
    std::string_view bytes() const { return bytes_; }

private:
    bool connected_ = false;
    std::string path_;
    std::string bytes_;
};

// The record set over the catalogue's query: static, read-only, fetched whole
// when it opens.
class CatalogueRecordSet {
public:
    explicit CatalogueRecordSet(const CatalogueConnection& connection, std::string name = "tayar");

    // Runs the query and makes the first row current. Closes first. Throws
    // EDatabaseError, and stays closed:
    //   "Operation is not allowed when the object is closed."  DB not open
    //   "The database engine cannot find the input table or query 'ayar'.
    //    Make sure it exists and that its name is spelled correctly."
    //   "<name>: Field '<field>' not found"
    //   "<name>: Type mismatch for field '<field>', expecting: <kind>
    //    actual: <kind>"
    //   "The database '<path>' needs to be repaired or isn't a database
    //    file."                                      libmdb cannot read it
    void open();
    void close();
    bool active() const { return active_; }

    // All rows in the query's order (empty when closed).
    const std::vector<CatalogueRecord>& records() const { return records_; }
    std::size_t recordCount() const { return records_.size(); }

    // Moves. first() goes to the first row; next() to the following one,
    // or, on the last row, sets eof() and stays there. eof() is also true
    // when there is no row at all.
    void first();
    void next();
    bool eof() const { return eof_; }

    // The current row's index in records(); empty when there is none
    // (closed, or no rows).
    std::optional<std::size_t> recNo() const;

    // Makes a row current (the grid's focused row). Throws EListError when
    // index is not below recordCount().
    void moveTo(std::size_t index);

    // A field of the current row by name (ASCII letter case ignored); empty
    // when there is no current row. Throws EDatabaseError
    // "<name>: Field '<field>' not found" for a name that is not a field.
    std::string fieldByName(std::string_view field) const;

private:
    const CatalogueConnection& connection_;
    std::string name_;
    bool active_ = false;
    bool eof_ = true;
    std::size_t current_ = 0;
    std::vector<CatalogueRecord> records_;
};

// The data module: it holds the connection.
class Tfm {
public:
    CatalogueConnection DB;

    // Reads the password from "DB.ini" beside the executable (creating the
    // entry when missing) and opens DB on the database at path (UTF-8).
    // Throws EIniFileError when "DB.ini" cannot be written, EDatabaseError
    // as CatalogueConnection::open.
    void DBBaglan(const std::string& path);
};

} // namespace km40r
