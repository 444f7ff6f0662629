#include "catalogue_test_support.h"

#include "support/temp_dir.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace km40r::test {

std::string JetFixture(const std::string& name) {
    return std::string(KM40R_JET_DATA) + "/" + name;
}

jet::Table CatalogueWith(const std::vector<SourceRow>& rows) {
    jet::Table table = CatalogueTable();
    const auto value = [](const std::optional<std::string>& s) -> jet::Value {
        if (!s)
            return std::monostate{};
        return *s;
    };
    for (const SourceRow& r : rows) {
        table.rows.push_back({r.id == 0 ? jet::Value{} : jet::Value{r.id}, value(r.grup),
                              value(r.ayar), value(r.aciklama), value(r.tur), value(r.combo),
                              value(r.grupaciklama)});
    }
    return table;
}

void WriteDatabase(const std::string& path, const std::vector<jet::Table>& tables,
                   const std::u16string& password, bool compressText) {
    jet::WriteOptions options;
    options.password = password;
    options.creationDate = 45678.5; // 2025-01-22 12:00
    options.compressText = compressText;
    jet::WriteFileAtomically(path, jet::BuildDatabase(tables, options));
}

std::vector<SourceRow> LargeCatalogue(int n) {
    std::vector<SourceRow> rows;
    const std::string turkish = "Çıkış ğüşöİ ";
    for (int i = 0; i < n; ++i) {
        SourceRow r;
        // Groups and codes descend, so that the query's order differs from
        // the table's; every fifth row repeats its neighbour's codes.
        const int g = 99 - (i / 100) % 100;
        const int a = 99 - (i % 5 == 4 ? i - 1 : i) % 100;
        r.grup = (g < 10 ? "0" : "") + std::to_string(g);
        r.ayar = (a < 10 ? "0" : "") + std::to_string(a);
        std::string text = "Ayar " + std::to_string(i) + " " + turkish;
        while (text.size() < 600) // 255 characters once cut below
            text += turkish;
        switch (i % 4) {
        case 0: // 255 characters, compressed
            r.aciklama = text;
            break;
        case 1: // characters outside code page 1254, stored uncompressed
            r.aciklama = "Мир " + std::to_string(i) + " Ā";
            break;
        case 2:
            r.aciklama = "";
            break;
        default:
            r.aciklama = std::nullopt;
            break;
        }
        if (r.aciklama && r.aciklama->size() > 300) {
            // Cut to 255 characters (UTF-8: count lead bytes).
            std::size_t chars = 0, at = 0;
            while (at < r.aciklama->size() && chars < 255) {
                ++at;
                while (at < r.aciklama->size() && ((*r.aciklama)[at] & 0xC0) == 0x80)
                    ++at;
                ++chars;
            }
            r.aciklama->resize(at);
        }
        r.tur = i % 3 == 0 ? "Combo" : "Text";
        r.combo = i % 3 == 0 ? std::optional<std::string>("<0:Kapalı>,<1:Açık>") : std::nullopt;
        r.grupaciklama = "Grup " + *r.grup;
        rows.push_back(std::move(r));
    }
    return rows;
}

RunResult RunProgram(const std::vector<std::string>& argv) {
    TempDir dir;
    const std::string out = dir.file("out"), err = dir.file("err");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    RunResult result;
    pid_t pid = 0;
    if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) == 0) {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (WIFEXITED(status))
            result.status = WEXITSTATUS(status);
    }
    posix_spawn_file_actions_destroy(&actions);
    result.out = ReadFile(out);
    result.err = ReadFile(err);
    return result;
}

} // namespace km40r::test
