// Measures opening the settings catalogue at start-up: a 2000-row catalogue
// written by our writer (255-character descriptions, Turkish text) is opened
// as the program does it (file read, header and password check, the read
// through libmdb in a child process, conversion to code page 1254, the
// query's sort) and read through, field by field, as the grid does.
//
// Last line: catalogue_open_ms=X rows=N
#include "catalogue/catalogue.h"
#include "catalogue/catalogue_source.h"
#include "catalogue/jet_writer.h"
#include "core/cp1254.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kRows = 2000;
constexpr int kRuns = 20;

km40r::jet::Table catalogue() {
    km40r::jet::Table table = km40r::CatalogueTable();
    std::string description; // 255 characters, built in code page 1254
    while (description.size() < 255)
        description += "R\xF6"
                       "le \xE7"
                       "ekme gecikmesi ";
    description.resize(255);
    description = km40r::Cp1254ToUtf8(description);
    for (int i = 0; i < kRows; ++i) {
        const std::string group = std::to_string(10 + (kRows - i) % 90);
        const std::string code = std::to_string(10 + i % 90);
        table.rows.push_back({std::monostate{}, group, code, description,
                              i % 2 ? std::string("Combo") : std::string("Text"),
                              std::string("<0:Kapalı>,<1:Açık>,<2:Otomatik>"), "Grup " + group});
    }
    return table;
}

} // namespace

int main() {
    std::string dir = (std::filesystem::temp_directory_path() / "km40r-bench-XXXXXX").string();
    if (::mkdtemp(dir.data()) == nullptr)
        return 1;
    const std::string path = dir + "/km400.kmd";
    km40r::jet::WriteOptions options;
    options.password = u"gizli";
    options.creationDate = 45678.5;
    km40r::jet::WriteFileAtomically(path, km40r::jet::BuildDatabase({catalogue()}, options));

    std::vector<double> times;
    std::size_t rows = 0;
    std::size_t bytes = 0;
    for (int run = 0; run < kRuns; ++run) {
        const auto start = std::chrono::steady_clock::now();
        km40r::Tfm fm;
        fm.DB.open(path, "gizli");
        km40r::CatalogueRecordSet tayar(fm.DB);
        tayar.open();
        for (std::size_t i = 0; i < tayar.recordCount(); ++i) {
            tayar.moveTo(i);
            for (const auto field : km40r::kCatalogueFields)
                bytes += tayar.fieldByName(field).size();
        }
        times.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
        rows = tayar.recordCount();
    }
    std::sort(times.begin(), times.end());
    std::printf("file: %ju bytes, %zu rows, %zu text bytes read per run\n",
                static_cast<std::uintmax_t>(std::filesystem::file_size(path)), rows, bytes / kRuns);
    std::printf("runs: %d, fastest %.2f ms, slowest %.2f ms\n", kRuns, times.front(), times.back());
    std::printf("catalogue_open_ms=%.2f rows=%zu\n", times[times.size() / 2], rows);
    std::filesystem::remove_all(dir);
    return rows == kRows ? 0 : 1;
}
