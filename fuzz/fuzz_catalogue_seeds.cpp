// Writes the seed files of fuzz_catalogue that our Jet writer makes, into
// the folder given: catalogues with a few rows (text compressed and not),
// one spanning two data pages, an empty one, one behind a password, one
// whose field has another type, and one without the table "ayar".
//
//   fuzz_catalogue_seeds DIR
#include "catalogue/catalogue_source.h"
#include "catalogue/jet_writer.h"

#include <cstdio>
#include <string>
#include <vector>

using namespace km40r;

namespace {

jet::Table catalogue(int rows) {
    jet::Table table = CatalogueTable();
    for (int i = 0; i < rows; ++i) {
        const std::string code = std::to_string(10 + i % 7);
        table.rows.push_back({std::monostate{}, code, std::to_string(10 + i * 37 % 90),
                              i % 3 == 0 ? jet::Value{} : jet::Value{"Ayar açıklaması " + code},
                              std::string(i % 2 ? "text" : "combo"),
                              std::string("0:Kapali,1:Acik,\"2:A,B\""), std::string("Grup")});
    }
    return table;
}

void write(const std::string& dir, const std::string& name, const std::vector<jet::Table>& tables,
           std::u16string password = {}, bool compress = true) {
    jet::WriteOptions options;
    options.password = std::move(password);
    options.creationDate = 45678.5;
    options.compressText = compress;
    jet::WriteFileAtomically(dir + "/" + name, jet::BuildDatabase(tables, options));
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    write(dir, "writer_three_rows.kmd", {catalogue(3)});
    write(dir, "writer_three_rows_uncompressed.kmd", {catalogue(3)}, {}, false);
    write(dir, "writer_two_pages.kmd", {catalogue(120)});
    write(dir, "writer_empty.kmd", {catalogue(0)});
    write(dir, "writer_password.kmd", {catalogue(2)}, u"gizli");

    jet::Table memo = catalogue(1);
    memo.columns[4].type = jet::ColumnType::Memo;
    memo.columns[4].length = 0;
    memo.rows[0][4] = std::monostate{};
    write(dir, "writer_memo_field.kmd", {memo});

    jet::Table other = catalogue(2);
    other.name = "diger";
    write(dir, "writer_no_ayar.kmd", {other});
    return 0;
}
