// The catalogue as a CSV text: the source the catalogue tool builds a
// database from, and the form in which it shows a database.
//
// Principles of operation: CSV follows RFC 4180. Fields are separated by
// commas and records by line breaks (CR LF, or a lone LF); a field may be
// enclosed in double quotes, inside which commas, line breaks and doubled
// quotes ("") stand for themselves. A leading UTF-8 byte order mark is
// skipped. Written CSV quotes only the fields that need it and ends every
// record with CR LF.
//
// A catalogue source is UTF-8. Its first record names the fields: "grup",
// "ayar", "aciklama", "tur", "combo" and "grupaciklama" are required, "id"
// may be given; the order is free. An empty field without quotes is NULL, a
// quoted empty field ("") is an empty text. An "id" is a whole number from
// 1 to 2147483647, unique; rows without one are numbered after the highest
// id, in their order. A text longer than its field is refused, naming the
// row and the field.
#pragma once

#include "catalogue/catalogue.h"
#include "catalogue/jet_writer.h"
#include "core/errors.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace km40r {

// A source that cannot become a catalogue. The message names the line (and
// row and field) at fault.
class ECatalogueSourceError : public Error {
public:
    using Error::Error;
};

struct CsvField {
    std::string text;
    bool quoted = false;
};

struct CsvRecord {
    std::size_t line = 0; // where the record starts, 1-based
    std::vector<CsvField> fields;
};

// Splits a CSV text into records. Blank lines (no characters at all) are
// skipped. Throws ECatalogueSourceError for a quote that is not closed, or
// characters between a closing quote and the next separator.
std::vector<CsvRecord> ParseCsv(std::string_view text);

// One CSV record with its CR LF.
std::string CsvLine(const std::vector<std::string>& fields);

// The table "ayar" with its seven fields and no rows: "id" an autonumber
// Long, grup Text(2), ayar Text(2), aciklama Text(255), tur Text(10), combo
// Text(255), grupaciklama Text(20).
jet::Table CatalogueTable();

// The table "ayar" from a catalogue source. Throws ECatalogueSourceError.
jet::Table CatalogueTableFromCsv(std::string_view csv);

// A catalogue as CSV (UTF-8): the header record
// "id,grup,ayar,aciklama,tur,combo,grupaciklama", then the records in the
// order given, converted from code page 1254.
std::string CatalogueCsv(const std::vector<CatalogueRecord>& records);

} // namespace km40r
