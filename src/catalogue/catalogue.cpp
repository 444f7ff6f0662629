#include "catalogue/catalogue.h"

#include "catalogue/jet_header.h"
#include "catalogue/jet_table_reader.h"
#include "core/cp1254.h"
#include "core/errors.h"
#include "core/settings_file.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace km40r {
namespace {

// The largest file the database engine makes.
constexpr off_t kMaxFileSize = off_t{2} << 30;

std::string quotedPath(const std::string& path) {
    return "'" + Utf8ToCp1254(path) + "'";
}

[[noreturn]] void cannotOpen(const std::string& path) {
    throw EDatabaseError("The database engine cannot open the file " + quotedPath(path) +
                         ". It is already opened exclusively by another user, or you need "
                         "permission to view its data.");
}

[[noreturn]] void notFound(const std::string& path) {
    throw EDatabaseError("Could not find file " + quotedPath(path) + ".");
}

[[noreturn]] void unrecognized(const std::string& path) {
    throw EDatabaseError("Unrecognized database format " + quotedPath(path) + ".");
}

// Reads a whole regular file. A FIFO or device is refused before any read
// could block.
std::string readDatabaseFile(const std::string& path) {
    if (path.empty())
        notFound(path);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR || errno == ENAMETOOLONG)
            notFound(path);
        cannotOpen(path);
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        cannotOpen(path);
    }
    if (st.st_size > kMaxFileSize) {
        ::close(fd);
        unrecognized(path);
    }
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(st.st_size));
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ::close(fd);
            cannotOpen(path);
        }
        if (n == 0)
            break;
        bytes.append(buffer, static_cast<std::size_t>(n));
        if (bytes.size() > static_cast<std::size_t>(kMaxFileSize)) {
            ::close(fd);
            unrecognized(path);
        }
    }
    ::close(fd);
    return bytes;
}

bool sameName(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        return lower(x) == lower(y);
    });
}

std::optional<std::size_t> fieldIndex(std::string_view name) {
    for (std::size_t i = 0; i < kCatalogueFields.size(); ++i)
        if (sameName(kCatalogueFields[i], name))
            return i;
    return std::nullopt;
}

} // namespace

const std::string& CatalogueRecord::field(std::size_t index) const {
    switch (index) {
    case 0:
        return id;
    case 1:
        return grup;
    case 2:
        return ayar;
    case 3:
        return aciklama;
    case 4:
        return tur;
    case 5:
        return combo;
    case 6:
        return grupaciklama;
    default:
        throw EListError::outOfBounds(static_cast<long long>(index));
    }
}

void CatalogueConnection::open(const std::string& path, std::string_view password) {
    close();
    std::string bytes = readDatabaseFile(path);
    const auto header = jet::ReadHeader(bytes);
    if (!header)
        unrecognized(path);
    if (!jet::PasswordOpens(*header, password))
        throw EDatabaseError("Not a valid password.");
    path_ = path;
    bytes_ = std::move(bytes);
    connected_ = true;
}

void CatalogueConnection::close() {
    connected_ = false;
    path_.clear();
    bytes_.clear();
    bytes_.shrink_to_fit();
}

CatalogueRecordSet::CatalogueRecordSet(const CatalogueConnection& connection, std::string name)
    : connection_(connection), name_(std::move(name)) {}

void CatalogueRecordSet::open() {
    close();
    if (!connection_.connected())
        throw EDatabaseError("Operation is not allowed when the object is closed.");
    std::vector<jet::FieldSpec> fields;
    for (const auto f : kCatalogueFields)
        fields.push_back({std::string(f), f == "id" ? jet::FieldKind::Long : jet::FieldKind::Text});
    jet::TableContent content = jet::ReadTable(connection_.bytes(), "ayar", fields);
    using Status = jet::TableContent::Status;
    switch (content.status) {
    case Status::Ok:
        break;
    case Status::NoTable:
        throw EDatabaseError("The database engine cannot find the input table or query 'ayar'. "
                             "Make sure it exists and that its name is spelled correctly.");
    case Status::NoField:
        throw EDatabaseError(name_ + ": Field '" + content.field + "' not found");
    case Status::WrongType:
        throw EDatabaseError(name_ + ": Type mismatch for field '" + content.field +
                             "', expecting: " + (content.field == "id" ? "Long Integer" : "Text") +
                             " actual: " + content.actualType);
    case Status::Damaged:
        throw EDatabaseError("The database " + quotedPath(connection_.path()) +
                             " needs to be repaired or isn't a database file.");
    }

    std::vector<CatalogueRecord> records;
    records.reserve(content.rows.size());
    for (const auto& row : content.rows) {
        CatalogueRecord r;
        r.id = Utf8ToCp1254(row[0]);
        r.grup = Utf8ToCp1254(row[1]);
        r.ayar = Utf8ToCp1254(row[2]);
        r.aciklama = Utf8ToCp1254(row[3]);
        r.tur = Utf8ToCp1254(row[4]);
        r.combo = Utf8ToCp1254(row[5]);
        r.grupaciklama = Utf8ToCp1254(row[6]);
        records.push_back(std::move(r));
    }
    // std::string compares bytes as unsigned values.
    std::stable_sort(records.begin(), records.end(),
                     [](const CatalogueRecord& a, const CatalogueRecord& b) {
                         if (const int c = a.grup.compare(b.grup); c != 0)
                             return c < 0;
                         return a.ayar.compare(b.ayar) < 0;
                     });
    records_ = std::move(records);
    active_ = true;
    first();
}

void CatalogueRecordSet::close() {
    active_ = false;
    records_.clear();
    current_ = 0;
    eof_ = true;
}

void CatalogueRecordSet::first() {
    current_ = 0;
    eof_ = records_.empty();
}

void CatalogueRecordSet::next() {
    if (records_.empty())
        return;
    if (current_ + 1 < records_.size())
        ++current_;
    else
        eof_ = true;
}

std::optional<std::size_t> CatalogueRecordSet::recNo() const {
    if (records_.empty())
        return std::nullopt;
    return current_;
}

void CatalogueRecordSet::moveTo(std::size_t index) {
    if (index >= records_.size())
        throw EListError::outOfBounds(static_cast<long long>(index));
    current_ = index;
    eof_ = false;
}

std::string CatalogueRecordSet::fieldByName(std::string_view field) const {
    const auto index = fieldIndex(field);
    if (!index)
        throw EDatabaseError(name_ + ": Field '" + std::string(field) + "' not found");
    if (records_.empty())
        return {};
    return records_[current_].field(*index);
}

void Tfm::DBBaglan(const std::string& path) {
    DB.close();
    const std::string password = ReadIniValue("DB", "sifre", "", "DB");
    DB.open(path, password);
}

} // namespace km40r
