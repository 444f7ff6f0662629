// Helpers of the catalogue tests: the engine-made test files, catalogues
// written by our writer, and running the catalogue tool.
#pragma once

#include "catalogue/catalogue_source.h"
#include "catalogue/jet_writer.h"

#include <string>
#include <vector>

namespace km40r::test {

// A Jet file made by the database engine itself (tests/data/jet).
std::string JetFixture(const std::string& name);

// One catalogue row: id (0: numbered by the writer) and the six texts;
// std::nullopt stands for NULL.
struct SourceRow {
    std::int64_t id = 0;
    std::optional<std::string> grup, ayar, aciklama, tur, combo, grupaciklama;
};

// The table "ayar" holding these rows (ids numbered 1, 2, ... where 0).
jet::Table CatalogueWith(const std::vector<SourceRow>& rows);

// Writes a database of these tables to path.
void WriteDatabase(const std::string& path, const std::vector<jet::Table>& tables,
                   const std::u16string& password = {}, bool compressText = true);

// A catalogue of n rows that spans many data pages: Turkish text, texts of
// the full 255 characters, characters outside code page 1254, empty texts
// and NULLs, rows out of order and with equal codes.
std::vector<SourceRow> LargeCatalogue(int n);

// What a program exit left behind.
struct RunResult {
    int status = -1; // exit status; -1 when it did not exit normally
    std::string out;
    std::string err;
};

// Runs a program with arguments and waits for it.
RunResult RunProgram(const std::vector<std::string>& argv);

} // namespace km40r::test
