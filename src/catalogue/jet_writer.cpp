#include "catalogue/jet_writer.h"

#include "catalogue/jet_header.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace km40r::jet {
namespace {

constexpr std::size_t kDataHeaderSize = 14;  // type, free space, owner, row count
constexpr std::size_t kMaxRowsPerPage = 255; // rows are addressed by one byte
constexpr std::size_t kMinMapBytes = 64;     // bitmap size of the engine's own maps
constexpr std::uint8_t kPageData = 0x01;
constexpr std::uint8_t kPageTableDefinition = 0x02;
constexpr std::uint8_t kUserTable = 0x4E;
constexpr std::uint8_t kSystemTable = 0x53;
constexpr std::size_t kColumnEntrySize = 25;
constexpr std::size_t kColumnsStart = 63;
constexpr std::uint8_t kFlagFixed = 0x01;
constexpr std::uint8_t kFlagUpdatable = 0x02;
constexpr std::uint8_t kFlagAutoNumber = 0x04;
constexpr std::uint8_t kFlagCompressedUnicode = 0x01;
constexpr std::uint16_t kGeneralSortOrder = 0x0409;
constexpr std::uint32_t kMapPage = 1;
constexpr std::uint32_t kCatalogueDefinitionPage = 2;
constexpr std::uint32_t kCatalogueDataPage = 3;
constexpr std::int64_t kTablesContainerId = 0x0F000001;
constexpr std::int64_t kRootContainerId = 0x0F000000;
constexpr std::int64_t kSystemObjectFlag = static_cast<std::int32_t>(0x80000000u);

using Bytes = std::string;

void put16(Bytes& b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<char>(v & 0xFF);
    b[at + 1] = static_cast<char>(v >> 8);
}

void put32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

void append16(Bytes& b, std::uint16_t v) {
    b += static_cast<char>(v & 0xFF);
    b += static_cast<char>(v >> 8);
}

void appendUtf16(Bytes& b, std::u16string_view s) {
    for (const char16_t c : s)
        append16(b, static_cast<std::uint16_t>(c));
}

bool isFixed(ColumnType t) {
    return t == ColumnType::Integer || t == ColumnType::Long || t == ColumnType::DateTime;
}

std::uint16_t fixedSize(ColumnType t) {
    switch (t) {
    case ColumnType::Integer:
        return 2;
    case ColumnType::Long:
        return 4;
    case ColumnType::DateTime:
        return 8;
    default:
        return 0;
    }
}

// A text's stored bytes: compressed when allowed and shorter.
Bytes encodeText(std::u16string_view text, bool compress) {
    Bytes plain;
    appendUtf16(plain, text);
    if (!compress || text.empty())
        return plain;
    Bytes packed("\xFF\xFE", 2);
    bool oneByte = true;
    for (const char16_t c : text) {
        if ((c & 0xFF) == 0)
            return plain; // a zero byte would read as a mode switch
        const bool narrow = c < 0x100;
        if (narrow != oneByte) {
            packed += '\0';
            oneByte = narrow;
        }
        packed += static_cast<char>(c & 0xFF);
        if (!narrow)
            packed += static_cast<char>(c >> 8);
    }
    return packed.size() < plain.size() ? packed : plain;
}

std::string describe(const Table& table, std::size_t row, const Column& column) {
    return "table '" + table.name + "', row " + std::to_string(row + 1) + ", field '" +
           column.name + "'";
}

// One table laid out: its column positions, and its rows encoded.
struct Layout {
    const Table* table = nullptr;
    std::uint8_t tableType = kUserTable;
    std::vector<std::uint16_t> fixedOffset; // per column
    std::vector<std::uint16_t> varIndex;    // per column
    std::size_t fixedBytes = 0;
    std::size_t varCount = 0;
    std::vector<Bytes> rows;
    std::int64_t lastAutoNumber = 0;
    std::uint32_t definitionPage = 0;
    std::vector<std::vector<std::size_t>> pages; // row indices per data page
    std::uint32_t usedMapRow = 0;                // rows on the map page
    std::uint32_t freeMapRow = 0;
};

Bytes encodeRow(const Layout& layout, std::size_t rowIndex, const std::vector<Value>& values,
                bool compress, std::int64_t& autoNumber) {
    const Table& table = *layout.table;
    const auto& columns = table.columns;
    if (values.size() != columns.size())
        throw EJetWriteError("table '" + table.name + "', row " + std::to_string(rowIndex + 1) +
                             ": " + std::to_string(values.size()) + " values for " +
                             std::to_string(columns.size()) + " columns");
    Bytes fixed(layout.fixedBytes, '\0');
    std::vector<Bytes> var(layout.varCount);
    Bytes nullMask((columns.size() + 7) / 8, '\0');

    for (std::size_t c = 0; c < columns.size(); ++c) {
        const Column& col = columns[c];
        Value value = values[c];
        if (col.autoNumber && std::holds_alternative<std::monostate>(value))
            value = autoNumber + 1;
        if (std::holds_alternative<std::monostate>(value))
            continue;
        nullMask[c / 8] = static_cast<char>(nullMask[c / 8] | (1 << (c % 8)));
        const auto fail = [&](const std::string& why) {
            return EJetWriteError(describe(table, rowIndex, col) + ": " + why);
        };
        switch (col.type) {
        case ColumnType::Integer:
        case ColumnType::Long: {
            const auto* n = std::get_if<std::int64_t>(&value);
            if (n == nullptr)
                throw fail("a whole number is expected");
            const bool isLong = col.type == ColumnType::Long;
            const std::int64_t lo = isLong ? std::numeric_limits<std::int32_t>::min() : -32768;
            const std::int64_t hi = isLong ? std::numeric_limits<std::int32_t>::max() : 32767;
            if (*n < lo || *n > hi)
                throw fail(std::to_string(*n) + " is out of range");
            if (col.autoNumber)
                autoNumber = std::max(autoNumber, *n);
            const auto u = static_cast<std::uint32_t>(static_cast<std::int32_t>(*n));
            for (std::size_t i = 0; i < fixedSize(col.type); ++i)
                fixed[layout.fixedOffset[c] + i] = static_cast<char>((u >> (8 * i)) & 0xFF);
            break;
        }
        case ColumnType::DateTime: {
            const auto* d = std::get_if<double>(&value);
            if (d == nullptr)
                throw fail("a date is expected");
            std::memcpy(&fixed[layout.fixedOffset[c]], d, sizeof(double));
            break;
        }
        case ColumnType::Text: {
            const auto* s = std::get_if<std::string>(&value);
            if (s == nullptr)
                throw fail("a text is expected");
            const auto units = Utf8ToUcs2(*s);
            if (!units)
                throw fail("the text is not valid UTF-8, or holds a character outside the "
                           "Basic Multilingual Plane");
            if (units->size() > col.length)
                throw fail(std::to_string(units->size()) + " characters, the field holds at most " +
                           std::to_string(col.length));
            var[layout.varIndex[c]] = encodeText(*units, compress);
            break;
        }
        case ColumnType::Ole:
        case ColumnType::Memo:
            throw fail("only NULL can be written to a long field");
        }
    }

    // num_cols, fixed fields, variable fields, eod, offsets (reversed),
    // variable count, null mask.
    Bytes row;
    append16(row, static_cast<std::uint16_t>(columns.size()));
    row += fixed;
    std::vector<std::uint16_t> offsets;
    for (const Bytes& v : var) {
        offsets.push_back(static_cast<std::uint16_t>(row.size()));
        row += v;
    }
    append16(row, static_cast<std::uint16_t>(row.size()));
    for (auto it = offsets.rbegin(); it != offsets.rend(); ++it)
        append16(row, *it);
    append16(row, static_cast<std::uint16_t>(layout.varCount));
    row += nullMask;
    if (row.size() + 2 > kPageSize - kDataHeaderSize)
        throw EJetWriteError("table '" + table.name + "', row " + std::to_string(rowIndex + 1) +
                             ": the row does not fit on a page");
    return row;
}

Layout layOut(const Table& table, std::uint8_t tableType, bool compress) {
    if (table.columns.empty() || table.columns.size() > 255)
        throw EJetWriteError("table '" + table.name + "': 1 to 255 columns are needed");
    Layout layout;
    layout.table = &table;
    layout.tableType = tableType;
    for (const Column& col : table.columns) {
        if (col.type == ColumnType::Text && (col.length == 0 || col.length > 255))
            throw EJetWriteError("table '" + table.name + "', field '" + col.name +
                                 "': a text field holds 1 to 255 characters");
        if (col.autoNumber && col.type != ColumnType::Long)
            throw EJetWriteError("table '" + table.name + "', field '" + col.name +
                                 "': only a Long field can be an autonumber");
        if (isFixed(col.type)) {
            layout.fixedOffset.push_back(static_cast<std::uint16_t>(layout.fixedBytes));
            layout.varIndex.push_back(0);
            layout.fixedBytes += fixedSize(col.type);
        } else {
            layout.fixedOffset.push_back(0);
            layout.varIndex.push_back(static_cast<std::uint16_t>(layout.varCount++));
        }
    }
    std::int64_t autoNumber = 0;
    for (std::size_t r = 0; r < table.rows.size(); ++r)
        layout.rows.push_back(encodeRow(layout, r, table.rows[r], compress, autoNumber));
    layout.lastAutoNumber = autoNumber;

    std::size_t free = 0;
    for (std::size_t r = 0; r < layout.rows.size(); ++r) {
        const std::size_t need = layout.rows[r].size() + 2;
        if (layout.pages.empty() || need > free || layout.pages.back().size() == kMaxRowsPerPage) {
            layout.pages.emplace_back();
            free = kPageSize - kDataHeaderSize;
        }
        layout.pages.back().push_back(r);
        free -= need;
    }
    return layout;
}

Bytes definitionPage(const Layout& layout, bool compress) {
    const Table& table = *layout.table;
    Bytes page(kPageSize, '\0');
    page[0] = static_cast<char>(kPageTableDefinition);
    page[1] = 0x01;
    put32(page, 16, static_cast<std::uint32_t>(layout.rows.size()));
    put32(page, 20, static_cast<std::uint32_t>(layout.lastAutoNumber));
    page[24] = 0x01;
    page[40] = static_cast<char>(layout.tableType);
    const auto columnCount = static_cast<std::uint16_t>(table.columns.size());
    put16(page, 41, columnCount);
    put16(page, 43, static_cast<std::uint16_t>(layout.varCount));
    put16(page, 45, columnCount);
    put32(page, 55, kMapPage << 8 | layout.usedMapRow);
    put32(page, 59, kMapPage << 8 | layout.freeMapRow);

    Bytes tail;
    for (std::size_t c = 0; c < table.columns.size(); ++c) {
        const Column& col = table.columns[c];
        Bytes entry(kColumnEntrySize, '\0');
        entry[0] = static_cast<char>(col.type);
        put16(entry, 5, static_cast<std::uint16_t>(c));
        put16(entry, 7, isFixed(col.type) ? 0 : layout.varIndex[c]);
        put16(entry, 9, static_cast<std::uint16_t>(c));
        if (col.type == ColumnType::Text || col.type == ColumnType::Memo)
            put16(entry, 11, kGeneralSortOrder);
        entry[15] = static_cast<char>((isFixed(col.type) ? kFlagFixed : 0) | kFlagUpdatable |
                                      (col.autoNumber ? kFlagAutoNumber : 0));
        if (col.type == ColumnType::Text && compress)
            entry[16] = static_cast<char>(kFlagCompressedUnicode);
        put16(entry, 21, layout.fixedOffset[c]);
        put16(entry, 23,
              col.type == ColumnType::Text ? static_cast<std::uint16_t>(2 * col.length)
                                           : fixedSize(col.type));
        tail += entry;
    }
    for (const Column& col : table.columns) {
        const auto name = Utf8ToUcs2(col.name);
        if (!name || name->empty() || name->size() > 64)
            throw EJetWriteError("table '" + table.name + "': field name '" + col.name +
                                 "' is not a valid name");
        append16(tail, static_cast<std::uint16_t>(2 * name->size()));
        appendUtf16(tail, *name);
    }
    append16(tail, 0xFFFF); // no long-value columns with usage maps of their own
    if (kColumnsStart + tail.size() > kPageSize)
        throw EJetWriteError("table '" + table.name + "': the definition does not fit on a page");
    page.replace(kColumnsStart, tail.size(), tail);
    const auto length = static_cast<std::uint32_t>(kColumnsStart + tail.size() - 8);
    put16(page, 2, static_cast<std::uint16_t>(kPageSize - 8 - length));
    put32(page, 8, length);
    return page;
}

// A data page owned by the table whose definition is on page `owner`.
Bytes dataPage(std::uint32_t owner, const std::vector<const Bytes*>& rows) {
    Bytes page(kPageSize, '\0');
    page[0] = static_cast<char>(kPageData);
    page[1] = 0x01;
    put32(page, 4, owner);
    put16(page, 12, static_cast<std::uint16_t>(rows.size()));
    std::size_t end = kPageSize;
    std::size_t used = 0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        end -= rows[i]->size();
        page.replace(end, rows[i]->size(), *rows[i]);
        put16(page, kDataHeaderSize + 2 * i, static_cast<std::uint16_t>(end));
        used += rows[i]->size() + 2;
    }
    put16(page, 2, static_cast<std::uint16_t>(kPageSize - kDataHeaderSize - used));
    return page;
}

// A type-0 usage map: its first page, then a bitmap from there on.
Bytes usageMap(std::uint32_t firstPage, std::size_t pageCount) {
    Bytes map(5 + std::max(kMinMapBytes, (pageCount + 7) / 8), '\0');
    map[0] = 0x00;
    put32(map, 1, firstPage);
    for (std::size_t i = 0; i < pageCount; ++i)
        map[5 + i / 8] = static_cast<char>(map[5 + i / 8] | (1 << (i % 8)));
    return map;
}

Table catalogueTable(const std::vector<Table>& userTables,
                     const std::vector<std::uint32_t>& definitionPages, double created) {
    Table t;
    t.name = "MSysObjects";
    t.columns = {
        {"Id", ColumnType::Long, 0, false},
        {"ParentId", ColumnType::Long, 0, false},
        {"Name", ColumnType::Text, 255, false},
        {"Type", ColumnType::Integer, 0, false},
        {"DateCreate", ColumnType::DateTime, 0, false},
        {"DateUpdate", ColumnType::DateTime, 0, false},
        {"Flags", ColumnType::Long, 0, false},
        {"LvProp", ColumnType::Ole, 0, false},
    };
    const auto row = [&](std::int64_t id, std::int64_t parent, const std::string& name,
                         std::int64_t type, std::int64_t flags) {
        t.rows.push_back({id, parent, name, type, created, created, flags, std::monostate{}});
    };
    row(kTablesContainerId, kRootContainerId, "Tables", 3, kSystemObjectFlag);
    row(kCatalogueDefinitionPage, kTablesContainerId, "MSysObjects", 1, kSystemObjectFlag);
    for (std::size_t i = 0; i < userTables.size(); ++i)
        row(definitionPages[i], kTablesContainerId, userTables[i].name, 1, 0);
    return t;
}

} // namespace

std::optional<std::u16string> Utf8ToUcs2(std::string_view utf8) {
    std::u16string out;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto b0 = static_cast<unsigned char>(utf8[i]);
        char32_t c = 0;
        std::size_t n = 0;
        if (b0 < 0x80) {
            c = b0;
            n = 1;
        } else if (b0 >= 0xC2 && b0 < 0xE0) {
            c = b0 & 0x1F;
            n = 2;
        } else if (b0 >= 0xE0 && b0 < 0xF0) {
            c = b0 & 0x0F;
            n = 3;
        } else {
            return std::nullopt; // invalid, or outside the Basic Multilingual Plane
        }
        if (i + n > utf8.size())
            return std::nullopt;
        for (std::size_t k = 1; k < n; ++k) {
            const auto b = static_cast<unsigned char>(utf8[i + k]);
            if ((b & 0xC0) != 0x80)
                return std::nullopt;
            c = c << 6 | (b & 0x3F);
        }
        if ((n == 3 && c < 0x800) || (c >= 0xD800 && c <= 0xDFFF))
            return std::nullopt;
        out += static_cast<char16_t>(c);
        i += n;
    }
    return out;
}

double OleDateFromUnixTime(double seconds) {
    return 25569.0 + seconds / 86400.0;
}

std::string BuildDatabase(const std::vector<Table>& tables, const WriteOptions& options) {
    if (options.password.size() > kMaxPasswordLength)
        throw EJetWriteError("the password is longer than " + std::to_string(kMaxPasswordLength) +
                             " characters");
    for (std::size_t i = 0; i < tables.size(); ++i) {
        const auto name = Utf8ToUcs2(tables[i].name);
        if (!name || name->empty() || name->size() > 64)
            throw EJetWriteError("'" + tables[i].name + "' is not a valid table name");
        for (std::size_t j = 0; j < i; ++j)
            if (tables[j].name == tables[i].name)
                throw EJetWriteError("table '" + tables[i].name + "' is given twice");
    }
    const bool compress = options.compressText;

    // User tables first, to know their pages; the catalogue names them.
    std::vector<Layout> layouts;
    for (const Table& t : tables)
        layouts.push_back(layOut(t, kUserTable, compress));
    std::vector<std::uint32_t> definitionPages;
    std::uint32_t next = kCatalogueDataPage + 1;
    for (Layout& l : layouts) {
        l.definitionPage = next;
        definitionPages.push_back(next);
        next += 1 + static_cast<std::uint32_t>(l.pages.size());
    }
    const Table catalogue = catalogueTable(tables, definitionPages, options.creationDate);
    Layout catalogueLayout = layOut(catalogue, kSystemTable, compress);
    if (catalogueLayout.pages.size() > 1)
        throw EJetWriteError("too many tables");
    catalogueLayout.definitionPage = kCatalogueDefinitionPage;

    // The usage maps, all on the map page.
    std::vector<Bytes> maps;
    const auto addMaps = [&](Layout& l, std::uint32_t firstDataPage) {
        l.usedMapRow = static_cast<std::uint32_t>(maps.size());
        maps.push_back(usageMap(firstDataPage, l.pages.size()));
        l.freeMapRow = static_cast<std::uint32_t>(maps.size());
        maps.push_back(usageMap(firstDataPage, 0));
    };
    addMaps(catalogueLayout, kCatalogueDataPage);
    for (Layout& l : layouts)
        addMaps(l, l.definitionPage + 1);
    std::size_t mapBytes = kDataHeaderSize;
    for (const Bytes& m : maps)
        mapBytes += m.size() + 2;
    if (mapBytes > kPageSize)
        throw EJetWriteError("the tables are too large for one file");

    std::string file = MakeHeaderPage(options.password, options.creationDate);
    std::vector<const Bytes*> mapRows;
    for (const Bytes& m : maps)
        mapRows.push_back(&m);
    file += dataPage(0, mapRows);
    file += definitionPage(catalogueLayout, compress);
    std::vector<const Bytes*> catalogueRows;
    for (const Bytes& r : catalogueLayout.rows)
        catalogueRows.push_back(&r);
    file += dataPage(kCatalogueDefinitionPage, catalogueRows);
    for (const Layout& l : layouts) {
        file += definitionPage(l, compress);
        for (const auto& pageRows : l.pages) {
            std::vector<const Bytes*> rows;
            for (const std::size_t r : pageRows)
                rows.push_back(&l.rows[r]);
            file += dataPage(l.definitionPage, rows);
        }
    }
    return file;
}

void WriteFileAtomically(const std::string& path, std::string_view bytes) {
    const auto failure = [&](const std::string& what) {
        return EJetWriteError("cannot write '" + path + "': " + what + ": " + std::strerror(errno));
    };
    std::string temp = path + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0)
        throw failure("cannot create a temporary file");
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const auto error = failure("write failed");
            ::close(fd);
            ::unlink(temp.c_str());
            throw error;
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fchmod(fd, 0644) != 0 || ::fsync(fd) != 0) {
        const auto error = failure("flush failed");
        ::close(fd);
        ::unlink(temp.c_str());
        throw error;
    }
    ::close(fd);
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        const auto error = failure("rename failed");
        ::unlink(temp.c_str());
        throw error;
    }
}

} // namespace km40r::jet
