#include "catalogue/jet_table_reader.h"

#include "catalogue/jet_header.h"

// The library's header opens an extern "C" block and includes glib inside
// it, which does not compile as C++ unless glib comes first.
#include <glib.h>
#include <mdbtools.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace km40r::jet {
namespace {

using Status = TableContent::Status;

// The child's message: one status byte, then fields as 4-byte lengths and
// bytes, then the end mark.
constexpr char kEndMark = 'Z';

void putText(std::string& out, std::string_view text) {
    const auto n = static_cast<std::uint32_t>(text.size());
    for (int i = 0; i < 4; ++i)
        out += static_cast<char>((n >> (8 * i)) & 0xFF);
    out += text;
}

void writeAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            ::_exit(3);
        done += static_cast<std::size_t>(n);
    }
}

const char* typeName(int type) {
    switch (type) {
    case MDB_BOOL:
        return "Boolean";
    case MDB_BYTE:
        return "Byte";
    case MDB_INT:
        return "Integer";
    case MDB_LONGINT:
        return "Long Integer";
    case MDB_MONEY:
        return "Currency";
    case MDB_FLOAT:
        return "Single";
    case MDB_DOUBLE:
        return "Double";
    case MDB_DATETIME:
        return "Date/Time";
    case MDB_BINARY:
        return "Binary";
    case MDB_TEXT:
        return "Text";
    case MDB_OLE:
        return "OLE Object";
    case MDB_MEMO:
        return "Memo";
    case MDB_REPID:
        return "Replication ID";
    case MDB_NUMERIC:
        return "Decimal";
    default:
        return "Unknown";
    }
}

// True when every row that the system catalogue's definition counts can be
// read: a file cut short or damaged there would otherwise look like a
// database without the table.
bool catalogueIsWhole(MdbHandle* mdb) {
    MdbCatalogEntry entry{};
    entry.mdb = mdb;
    entry.object_type = MDB_TABLE;
    entry.table_pg = 2;
    std::strcpy(entry.object_name, "MSysObjects");
    MdbTableDef* table = mdb_read_table(&entry);
    if (table == nullptr)
        return false;
    bool whole = false;
    if (mdb_read_columns(table) != nullptr) {
        unsigned rows = 0;
        mdb_rewind_table(table);
        while (mdb_fetch_row(table))
            ++rows;
        whole = rows == table->num_rows && rows > 0;
    }
    mdb_free_tabledef(table);
    return whole;
}

// Runs in the child: reads the table and builds the message.
std::string readInChild(std::string_view file, std::string_view tableName,
                        const std::vector<FieldSpec>& fields) {
    std::string out;
    const auto fail = [&](Status s, std::string_view field = {}, std::string_view type = {}) {
        out.assign(1, static_cast<char>(s));
        putText(out, field);
        putText(out, type);
        out += kEndMark;
        return out;
    };
    MdbHandle* mdb = mdb_open_buffer(const_cast<char*>(file.data()), file.size(), MDB_NOFLAGS);
    if (mdb == nullptr || !IS_JET4(mdb))
        return fail(Status::Damaged, "the library cannot open the file");
    if (!catalogueIsWhole(mdb) || mdb_read_catalog(mdb, MDB_TABLE) == nullptr ||
        mdb->num_catalog == 0)
        return fail(Status::Damaged, "the system catalogue cannot be read");
    MdbCatalogEntry* entry = nullptr;
    const std::string wanted(tableName);
    for (unsigned i = 0; i < mdb->num_catalog && entry == nullptr; ++i) {
        auto* e = static_cast<MdbCatalogEntry*>(g_ptr_array_index(mdb->catalog, i));
        if (e->object_type == MDB_TABLE && g_ascii_strcasecmp(e->object_name, wanted.c_str()) == 0)
            entry = e;
    }
    if (entry == nullptr)
        return fail(Status::NoTable);
    MdbTableDef* table = mdb_read_table(entry);
    if (table == nullptr || mdb_read_columns(table) == nullptr)
        return fail(Status::Damaged, "the table definition cannot be read");

    const std::size_t bindSize = mdb->bind_size;
    std::vector<std::vector<char>> buffers(fields.size(), std::vector<char>(bindSize + 1));
    std::vector<int> lengths(fields.size());
    for (std::size_t f = 0; f < fields.size(); ++f) {
        int found = -1;
        for (unsigned c = 0; c < table->columns->len && found < 0; ++c) {
            auto* col = static_cast<MdbColumn*>(g_ptr_array_index(table->columns, c));
            if (g_ascii_strcasecmp(col->name, fields[f].name.c_str()) == 0)
                found = static_cast<int>(c);
        }
        if (found < 0)
            return fail(Status::NoField, fields[f].name);
        auto* col = static_cast<MdbColumn*>(g_ptr_array_index(table->columns, found));
        const int expected = fields[f].kind == FieldKind::Text ? MDB_TEXT : MDB_LONGINT;
        if (col->col_type != expected)
            return fail(Status::WrongType, fields[f].name, typeName(col->col_type));
        if (mdb_bind_column(table, found + 1, buffers[f].data(), &lengths[f]) < 0)
            return fail(Status::Damaged, "a field cannot be bound");
    }

    std::string rows;
    std::uint32_t count = 0;
    mdb_rewind_table(table);
    while (mdb_fetch_row(table)) {
        for (std::size_t f = 0; f < fields.size(); ++f) {
            const auto n = static_cast<std::size_t>(lengths[f]);
            putText(rows, std::string_view(buffers[f].data(), n <= bindSize ? n : 0));
        }
        ++count;
    }
    if (count != table->num_rows)
        return fail(Status::Damaged, "fewer rows than the table definition counts");
    out.assign(1, static_cast<char>(Status::Ok));
    putText(out, {});
    putText(out, {});
    for (int i = 0; i < 4; ++i)
        out += static_cast<char>((count >> (8 * i)) & 0xFF);
    out += rows;
    out += kEndMark;
    return out;
}

[[noreturn]] void runChild(int fd, std::string_view file, std::string_view table,
                           const std::vector<FieldSpec>& fields) {
    const int devNull = ::open("/dev/null", O_RDWR);
    if (devNull >= 0) {
        ::dup2(devNull, STDIN_FILENO);
        ::dup2(devNull, STDOUT_FILENO);
        ::dup2(devNull, STDERR_FILENO);
    }
    ::signal(SIGPIPE, SIG_DFL);
    for (const char* name : {"MDBICONV", "MDBOPTS", "MDBPATH", "MDB_JET3_CHARSET"})
        ::unsetenv(name);
    writeAll(fd, readInChild(file, table, fields));
    ::_exit(0);
}

// A strict reader of the child's message.
class Message {
public:
    explicit Message(std::string_view data) : data_(data) {}
    bool byte(char& b) {
        if (at_ >= data_.size())
            return false;
        b = data_[at_++];
        return true;
    }
    bool u32(std::uint32_t& v) {
        if (data_.size() - at_ < 4)
            return false;
        v = 0;
        for (int i = 0; i < 4; ++i)
            v |= static_cast<std::uint32_t>(static_cast<unsigned char>(data_[at_ + i])) << (8 * i);
        at_ += 4;
        return true;
    }
    bool text(std::string& s) {
        std::uint32_t n = 0;
        if (!u32(n) || data_.size() - at_ < n)
            return false;
        s.assign(data_.substr(at_, n));
        at_ += n;
        return true;
    }
    bool atEnd() const { return at_ == data_.size(); }

private:
    std::string_view data_;
    std::size_t at_ = 0;
};

TableContent damaged(std::string detail) {
    TableContent content;
    content.status = Status::Damaged;
    content.detail = std::move(detail);
    return content;
}

TableContent decode(std::string_view data, std::size_t fieldCount) {
    Message m(data);
    char status = 0;
    TableContent content;
    if (!m.byte(status) || !m.text(content.field) || !m.text(content.actualType))
        return damaged("the reader's message is cut short");
    switch (static_cast<Status>(status)) {
    case Status::Ok: {
        std::uint32_t count = 0;
        if (!m.u32(count))
            return damaged("the reader's message is cut short");
        for (std::uint32_t r = 0; r < count; ++r) {
            std::vector<std::string> row(fieldCount);
            for (auto& field : row)
                if (!m.text(field))
                    return damaged("the reader's message is cut short");
            content.rows.push_back(std::move(row));
        }
        break;
    }
    case Status::NoTable:
    case Status::NoField:
    case Status::WrongType:
        break;
    case Status::Damaged:
        content.detail = content.field;
        break;
    default:
        return damaged("the reader's message is malformed");
    }
    char end = 0;
    if (!m.byte(end) || end != kEndMark || !m.atEnd())
        return damaged("the reader's message is malformed");
    content.status = static_cast<Status>(status);
    return content;
}

} // namespace

TableContent ReadTable(std::string_view file, std::string_view table,
                       const std::vector<FieldSpec>& fields, const ReadLimits& limits) {
    // The engine writes whole pages; the system catalogue starts on page 2.
    if (file.size() % kPageSize != 0 || file.size() < 3 * kPageSize)
        return damaged("the file is not a whole number of pages");
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return damaged(std::string("cannot create a pipe: ") + std::strerror(errno));
    const pid_t pid = ::fork();
    if (pid < 0) {
        const int error = errno;
        ::close(fds[0]);
        ::close(fds[1]);
        return damaged(std::string("cannot start the reader: ") + std::strerror(error));
    }
    if (pid == 0) {
        ::close(fds[0]);
        runChild(fds[1], file, table, fields);
    }
    ::close(fds[1]);

    const auto deadline = std::chrono::steady_clock::now() + limits.timeout;
    std::string data;
    std::string problem;
    char buffer[65536];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            problem = "the reader took too long";
            break;
        }
        pollfd p{fds[0], POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 1000)));
        if (ready < 0 && errno != EINTR) {
            problem = std::string("waiting for the reader failed: ") + std::strerror(errno);
            break;
        }
        if (ready <= 0)
            continue;
        const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n < 0) {
            problem = std::string("reading from the reader failed: ") + std::strerror(errno);
            break;
        }
        if (n == 0)
            break;
        data.append(buffer, static_cast<std::size_t>(n));
        if (data.size() > limits.maxBytes) {
            problem = "the reader sent too much";
            break;
        }
    }
    ::close(fds[0]);
    if (!problem.empty())
        ::kill(pid, SIGKILL);
    int status = 0;
    pid_t reaped;
    do {
        reaped = ::waitpid(pid, &status, 0);
    } while (reaped < 0 && errno == EINTR);
    if (!problem.empty())
        return damaged(problem);
    // When the child was reaped elsewhere (SIGCHLD ignored), the end mark of
    // its message still tells whether it finished.
    if (reaped == pid) {
        if (WIFSIGNALED(status))
            return damaged("the reader stopped on signal " + std::to_string(WTERMSIG(status)));
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            return damaged("the reader failed with status " + std::to_string(WEXITSTATUS(status)));
    }
    return decode(data, fields.size());
}

} // namespace km40r::jet
