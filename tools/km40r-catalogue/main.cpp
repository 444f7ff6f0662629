// km40r-catalogue: builds a settings catalogue database from CSV, and shows
// a catalogue database as the program sees it.
//
//   km40r-catalogue build SETTINGS.csv -o FILE [--password TEXT]
//   km40r-catalogue dump FILE [--password TEXT]
//
// build reads a UTF-8 CSV whose first record names the fields (see
// catalogue_source.h) and writes a Jet 4 database with the table "ayar".
// The creation date is the current time, or SOURCE_DATE_EPOCH when set, so
// that builds can be repeated byte for byte.
//
// dump opens FILE as the program does (header, password, the query and its
// order) and prints the rows as UTF-8 CSV. Without --password it takes the
// password from "DB.ini" in FILE's folder, which it reads but never creates
// or changes.
//
// Errors go to standard error with the program's message; the exit status
// is 1 (2 for a wrong command line).
#include "catalogue/catalogue.h"
#include "catalogue/catalogue_source.h"
#include "catalogue/jet_writer.h"
#include "core/cp1254.h"
#include "core/errors.h"
#include "core/ini_file.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr const char* kUsage =
    "usage: km40r-catalogue build SETTINGS.csv -o FILE [--password TEXT]\n"
    "       km40r-catalogue dump FILE [--password TEXT]\n";

struct Arguments {
    std::string command;
    std::string input;
    std::string output;
    std::optional<std::string> password;
};

std::optional<Arguments> parse(int argc, char** argv) {
    if (argc < 3)
        return std::nullopt;
    Arguments a;
    a.command = argv[1];
    if (a.command != "build" && a.command != "dump")
        return std::nullopt;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "-o" || arg == "--password") && i + 1 < argc) {
            (arg == "-o" ? a.output : a.password.emplace()) = argv[++i];
        } else if (a.input.empty() && !arg.starts_with("-")) {
            a.input = arg;
        } else {
            return std::nullopt;
        }
    }
    if (a.input.empty() || (a.command == "build") != !a.output.empty())
        return std::nullopt;
    return a;
}

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw km40r::Error("cannot read '" + path + "'");
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

double creationDate() {
    if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH"); epoch != nullptr && *epoch != '\0')
        return km40r::jet::OleDateFromUnixTime(std::strtod(epoch, nullptr));
    return km40r::jet::OleDateFromUnixTime(static_cast<double>(std::time(nullptr)));
}

void build(const Arguments& a) {
    const km40r::jet::Table table = km40r::CatalogueTableFromCsv(readText(a.input));
    km40r::jet::WriteOptions options;
    options.creationDate = creationDate();
    if (a.password) {
        const auto units = km40r::jet::Utf8ToUcs2(*a.password);
        if (!units)
            throw km40r::Error("the password is not valid UTF-8");
        options.password = *units;
    }
    km40r::jet::WriteFileAtomically(a.output, km40r::jet::BuildDatabase({table}, options));
}

void dump(const Arguments& a) {
    std::string password;
    if (a.password) {
        password = km40r::Utf8ToCp1254(*a.password);
    } else {
        const auto slash = a.input.rfind('/');
        const std::string dir = slash == std::string::npos ? "." : a.input.substr(0, slash);
        password = km40r::ReadProfileString((dir.empty() ? "/" : dir) + "/DB.ini", "DB", "sifre");
    }
    km40r::CatalogueConnection db;
    db.open(a.input, password);
    km40r::CatalogueRecordSet tayar(db);
    tayar.open();
    std::cout << km40r::CatalogueCsv(tayar.records()) << std::flush;
}

} // namespace

int main(int argc, char** argv) {
    const auto arguments = parse(argc, argv);
    if (!arguments) {
        std::cerr << kUsage;
        return 2;
    }
    try {
        if (arguments->command == "build")
            build(*arguments);
        else
            dump(*arguments);
        return 0;
    } catch (const km40r::EDatabaseError& e) {
        // The program's messages are code page 1254 text.
        std::cerr << km40r::Cp1254ToUtf8(e.what()) << '\n';
    } catch (const std::exception& e) {
        std::cerr << e.what() << '\n';
    }
    return 1;
}
