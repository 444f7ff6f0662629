#include "catalogue/catalogue_source.h"

#include "core/cp1254.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>

namespace km40r {
namespace {

constexpr std::int64_t kMaxId = 2147483647;

struct FieldDefinition {
    std::string_view name;
    std::uint16_t length; // characters; 0 for "id"
};

constexpr FieldDefinition kDefinitions[] = {
    {"id", 0},   {"grup", 2},    {"ayar", 2},          {"aciklama", 255},
    {"tur", 10}, {"combo", 255}, {"grupaciklama", 20},
};

bool isLineBreak(std::string_view text, std::size_t i) {
    return text[i] == '\n' || (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n');
}

// Skips the line break at i; returns the index after it.
std::size_t skipLineBreak(std::string_view text, std::size_t i) {
    return text[i] == '\r' ? i + 2 : i + 1;
}

bool needsQuotes(std::string_view field) {
    return field.find_first_of(",\"\r\n") != std::string_view::npos;
}

std::optional<std::int64_t> parseId(std::string_view text) {
    if (text.empty() || text.size() > 10)
        return std::nullopt;
    std::int64_t v = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        v = v * 10 + (c - '0');
    }
    if (v < 1 || v > kMaxId)
        return std::nullopt;
    return v;
}

} // namespace

std::vector<CsvRecord> ParseCsv(std::string_view text) {
    std::vector<CsvRecord> records;
    std::size_t i = 0;
    std::size_t line = 1;
    const std::size_t n = text.size();
    while (i < n) {
        if (isLineBreak(text, i)) { // a blank line
            i = skipLineBreak(text, i);
            ++line;
            continue;
        }
        CsvRecord record;
        record.line = line;
        for (;;) {
            CsvField field;
            if (i < n && text[i] == '"') {
                field.quoted = true;
                ++i;
                for (;;) {
                    if (i >= n)
                        throw ECatalogueSourceError("line " + std::to_string(record.line) +
                                                    ": a quoted field is not closed");
                    if (text[i] == '"') {
                        if (i + 1 < n && text[i + 1] == '"') {
                            field.text += '"';
                            i += 2;
                            continue;
                        }
                        ++i;
                        break;
                    }
                    if (text[i] == '\n')
                        ++line;
                    field.text += text[i++];
                }
                if (i < n && text[i] != ',' && !isLineBreak(text, i))
                    throw ECatalogueSourceError("line " + std::to_string(line) +
                                                ": characters after a closing quote");
            } else {
                while (i < n && text[i] != ',' && !isLineBreak(text, i)) {
                    if (text[i] == '"')
                        throw ECatalogueSourceError(
                            "line " + std::to_string(line) +
                            ": a quote inside a field that does not start with one");
                    field.text += text[i++];
                }
            }
            record.fields.push_back(std::move(field));
            if (i < n && text[i] == ',') {
                ++i;
                continue;
            }
            if (i < n) {
                i = skipLineBreak(text, i);
                ++line;
            }
            break;
        }
        records.push_back(std::move(record));
    }
    return records;
}

std::string CsvLine(const std::vector<std::string>& fields) {
    std::string out;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0)
            out += ',';
        if (!needsQuotes(fields[i])) {
            out += fields[i];
            continue;
        }
        out += '"';
        for (const char c : fields[i]) {
            if (c == '"')
                out += '"';
            out += c;
        }
        out += '"';
    }
    out += "\r\n";
    return out;
}

jet::Table CatalogueTable() {
    jet::Table table;
    table.name = "ayar";
    for (const auto& d : kDefinitions) {
        jet::Column col;
        col.name = std::string(d.name);
        if (d.name == "id") {
            col.type = jet::ColumnType::Long;
            col.autoNumber = true;
        } else {
            col.type = jet::ColumnType::Text;
            col.length = d.length;
        }
        table.columns.push_back(std::move(col));
    }
    return table;
}

jet::Table CatalogueTableFromCsv(std::string_view csv) {
    if (csv.substr(0, 3) == "\xEF\xBB\xBF")
        csv.remove_prefix(3);
    const std::vector<CsvRecord> records = ParseCsv(csv);
    if (records.empty())
        throw ECatalogueSourceError("line 1: the header record naming the fields is missing");

    // Which source column feeds which field.
    const CsvRecord& header = records.front();
    std::map<std::size_t, std::size_t> sourceOf; // field index -> source column
    for (std::size_t c = 0; c < header.fields.size(); ++c) {
        const std::string& name = header.fields[c].text;
        const auto it = std::find_if(std::begin(kDefinitions), std::end(kDefinitions),
                                     [&](const FieldDefinition& d) { return d.name == name; });
        const std::string where = "line " + std::to_string(header.line) + ": ";
        if (it == std::end(kDefinitions))
            throw ECatalogueSourceError(where + "'" + name + "' is not a field of the catalogue");
        const auto field = static_cast<std::size_t>(it - std::begin(kDefinitions));
        if (!sourceOf.emplace(field, c).second)
            throw ECatalogueSourceError(where + "field '" + name + "' is named twice");
    }
    for (std::size_t f = 1; f < std::size(kDefinitions); ++f)
        if (!sourceOf.contains(f))
            throw ECatalogueSourceError("line " + std::to_string(header.line) + ": field '" +
                                        std::string(kDefinitions[f].name) + "' is missing");

    jet::Table table = CatalogueTable();
    std::set<std::int64_t> ids;
    for (std::size_t r = 1; r < records.size(); ++r) {
        const CsvRecord& record = records[r];
        const std::string where =
            "line " + std::to_string(record.line) + ", row " + std::to_string(r);
        if (record.fields.size() != header.fields.size())
            throw ECatalogueSourceError(where + ": " + std::to_string(record.fields.size()) +
                                        " fields, the header names " +
                                        std::to_string(header.fields.size()));
        std::vector<jet::Value> row(std::size(kDefinitions));
        for (const auto& [f, c] : sourceOf) {
            const CsvField& value = record.fields[c];
            const FieldDefinition& d = kDefinitions[f];
            const std::string at = where + ", field '" + std::string(d.name) + "': ";
            if (value.text.empty() && !value.quoted)
                continue; // NULL
            if (d.name == "id") {
                const auto id = parseId(value.text);
                if (!id)
                    throw ECatalogueSourceError(at + "'" + value.text +
                                                "' is not a whole number from 1 to 2147483647");
                if (!ids.insert(*id).second)
                    throw ECatalogueSourceError(at + "id " + value.text + " is given twice");
                row[f] = *id;
                continue;
            }
            const auto units = jet::Utf8ToUcs2(value.text);
            if (!units)
                throw ECatalogueSourceError(at + "not valid UTF-8, or a character outside the "
                                                 "Basic Multilingual Plane");
            if (units->size() > d.length)
                throw ECatalogueSourceError(at + std::to_string(units->size()) +
                                            " characters, the field holds at most " +
                                            std::to_string(d.length));
            row[f] = value.text;
        }
        table.rows.push_back(std::move(row));
    }
    // Rows without an id are numbered after the highest one, in their order.
    std::int64_t next = ids.empty() ? 0 : *ids.rbegin();
    for (auto& row : table.rows) {
        if (std::holds_alternative<std::monostate>(row[0])) {
            if (next >= kMaxId)
                throw ECatalogueSourceError("too many rows to number after id " +
                                            std::to_string(next));
            row[0] = ++next;
        }
    }
    return table;
}

std::string CatalogueCsv(const std::vector<CatalogueRecord>& records) {
    std::vector<std::string> fields(kCatalogueFields.begin(), kCatalogueFields.end());
    std::string out = CsvLine(fields);
    for (const auto& record : records) {
        for (std::size_t i = 0; i < kCatalogueFields.size(); ++i)
            fields[i] = Cp1254ToUtf8(record.field(i));
        out += CsvLine(fields);
    }
    return out;
}

} // namespace km40r
