// Fuzz target: the catalogue reader on damaged and hostile Jet files.
//
// The input is the database file. It is written to a temporary folder
// (in memory where possible), opened with an empty password, and its record
// set is opened and walked; a file that only the password keeps closed is
// read through the table reader directly, so that mutations behind a
// password still reach libmdb. A file that is not a whole number of pages
// is read once more padded to one. Any EDatabaseError is a fine answer; a
// crash, a hang, a leak or a wrong record set is not.
//
// libmdb runs in a child process that the reader forks (jet_table_reader.h),
// and a crash there must come back as an error. The child is a copy of this
// process, with the fuzzer's crash handlers, so a fork handler puts the
// default signal actions back in the child and drops the sanitizers' death
// callback: a crash of the child then ends only the child, as it does in the
// program, instead of being reported as a crash of the input.
//
// What runs in the child gives the fuzzer no coverage (libmdb is not
// instrumented, and the child's counters end with it). Instead each outcome
// (status, the reason of a damaged file, the number of rows) counts as a
// feature of its own.
#include "fuzz_check.h"

#include "catalogue/catalogue.h"
#include "catalogue/jet_header.h"
#include "catalogue/jet_table_reader.h"
#include "core/errors.h"

#include <sanitizer/common_interface_defs.h>

#include <algorithm>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <pthread.h>
#include <string>
#include <unistd.h>

using namespace km40r;

// Outcome features, cleared by libFuzzer before every run.
__attribute__((used, section("__libfuzzer_extra_counters"))) static std::uint8_t gOutcomes[1024];

namespace {

void noteOutcome(std::string_view what, std::size_t rows) {
    std::size_t bucket = 0;
    while (rows > 0 && bucket < 12)
        rows >>= 1, ++bucket;
    const std::size_t h = std::hash<std::string_view>{}(what) + bucket * 0x9E3779B9u;
    gOutcomes[h % sizeof gOutcomes] = 1;
}

void inForkedChild() {
    for (const int signal : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP, SIGALRM, SIGINT,
                             SIGTERM, SIGXFSZ, SIGUSR1, SIGUSR2})
        std::signal(signal, SIG_DFL);
    __sanitizer_set_death_callback(nullptr);
}

struct Folder {
    std::string path;
    Folder() {
        for (const char* base : {"/dev/shm", "/tmp"}) {
            std::string pattern = std::string(base) + "/km40r-fuzz-catalogue-XXXXXX";
            if (::mkdtemp(pattern.data()) != nullptr) {
                path = pattern;
                return;
            }
        }
        std::abort();
    }
    ~Folder() {
        std::remove((path + "/km400.kmd").c_str());
        ::rmdir(path.c_str());
    }
};

void walk(CatalogueRecordSet& set) {
    const auto& records = set.records();
    FUZZ_CHECK(set.active() && set.recordCount() == records.size(), "record set state");
    FUZZ_CHECK(std::is_sorted(records.begin(), records.end(),
                              [](const CatalogueRecord& a, const CatalogueRecord& b) {
                                  return a.grup != b.grup ? a.grup < b.grup : a.ayar < b.ayar;
                              }),
               "records out of the query's order");
    std::size_t seen = 0;
    for (set.first(); !set.eof(); set.next(), ++seen) {
        FUZZ_CHECK(set.recNo() == seen, "current row " + std::to_string(seen));
        for (std::size_t f = 0; f < kCatalogueFields.size(); ++f)
            FUZZ_CHECK(set.fieldByName(kCatalogueFields[f]) == records[seen].field(f),
                       "field " + std::string(kCatalogueFields[f]));
    }
    FUZZ_CHECK(seen == records.size(), "walked " + std::to_string(seen) + " rows");
}

// Opens the file's bytes as the program does, and reads the table.
void readCatalogue(std::string_view bytes) {
    static Folder folder;
    const std::string path = folder.path + "/km400.kmd";
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }

    CatalogueConnection db;
    try {
        db.open(path, "");
    } catch (const EDatabaseError& e) {
        noteOutcome(e.what(), 0);
        FUZZ_CHECK(!db.connected(), "connected after an error");
    }
    if (db.connected()) {
        FUZZ_CHECK(db.bytes() == bytes, "the connection's copy of the file");
        CatalogueRecordSet set(db);
        try {
            set.open();
            noteOutcome("open", set.recordCount());
            walk(set);
        } catch (const EDatabaseError& e) {
            noteOutcome(e.what(), 0);
            FUZZ_CHECK(!set.active() && set.records().empty(), "half-open record set");
        }
        return;
    }

    // Only the password keeps the file closed: read it as the record set would.
    const auto header = jet::ReadHeader(bytes);
    if (!header || jet::PasswordOpens(*header, ""))
        return;
    std::vector<jet::FieldSpec> fields;
    for (const auto f : kCatalogueFields)
        fields.push_back({std::string(f), f == "id" ? jet::FieldKind::Long : jet::FieldKind::Text});
    jet::ReadLimits limits;
    limits.timeout = std::chrono::milliseconds(5000);
    const jet::TableContent content = jet::ReadTable(bytes, "ayar", fields, limits);
    noteOutcome(std::to_string(static_cast<int>(content.status)) + content.detail,
                content.rows.size());
    FUZZ_CHECK(content.status == jet::TableContent::Status::Ok || content.rows.empty(),
               "rows with a failure");
    for (const auto& row : content.rows)
        FUZZ_CHECK(row.size() == fields.size(), "a row of " + std::to_string(row.size()));
}

} // namespace

// A fork costs time in proportion to the memory of the process forked (here
// 4.5 ms at 30 MB, 36 ms at 370 MB), and AddressSanitizer's quarantine of
// freed memory (256 MB by default) would make up most of it. A small one
// keeps the fuzzer near 80 MB. ASAN_OPTIONS still overrides it.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=8"; }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ::pthread_atfork(nullptr, nullptr, inForkedChild);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    readCatalogue(bytes);
    // The reader refuses a file that is not a whole number of pages before
    // libmdb sees it; so that mutations which insert or remove bytes still
    // reach libmdb, such a file is also read padded with zeros.
    if (size % jet::kPageSize != 0) {
        std::string padded(bytes);
        padded.resize((size / jet::kPageSize + 1) * jet::kPageSize, '\0');
        readCatalogue(padded);
    }
    return 0;
}
