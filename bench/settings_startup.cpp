// Measures the settings-file work of one start-up: the 48 reads of the
// settings file, each of which opens, reads and releases the file, on a
// complete file (the normal start) and on a first run (every key written back,
// each write flushed to disk).
//
// Last line: first_run_ms=X normal_start_ms=X
#include "core/settings_file.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

void loadAll() {
    using km40r::ReadIniValue;
    const char* com[][2] = {{"port", "COM1"}, {"baud", "9600"}, {"databit", "8"},
                            {"parity", "Yok"}, {"stopbit", "1"}};
    for (const auto& kv : com)
        ReadIniValue("com", kv[0], kv[1]);
    ReadIniValue("client", "ip", "127.0.0.1");
    ReadIniValue("client", "port", "7890");
    ReadIniValue("master", "port", "7890");
    for (const char* key : {"chenter", "chcrlf", "chhex", "chdec", "chbaslangic", "chexit"})
        ReadIniValue("ayar", key, "False");
    ReadIniValue("ayar", "cxbaslangic", "<BASLA>");
    for (int n = 1; n <= 33; ++n)
        ReadIniValue("makro", "makro" + std::to_string(n), "macro text " + std::to_string(n));
}

double millisecondsOf(void (*work)()) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

} // namespace

int main() {
    std::string dir = (std::filesystem::temp_directory_path() / "km40r-bench-XXXXXX").string();
    if (::mkdtemp(dir.data()) == nullptr)
        return 1;
    km40r::SetExecutablePath(dir + "/km40r");
    const double firstRun = millisecondsOf(loadAll);
    constexpr int kRuns = 50;
    double total = 0;
    for (int i = 0; i < kRuns; ++i)
        total += millisecondsOf(loadAll);
    std::filesystem::remove_all(dir);
    std::printf("48 settings reads, first run (writes back every key): %.2f ms\n", firstRun);
    std::printf("48 settings reads, complete file (mean of %d): %.3f ms\n", kRuns, total / kRuns);
    std::printf("first_run_ms=%.2f normal_start_ms=%.3f\n", firstRun, total / kRuns);
    return 0;
}
