#include "app/port_search.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace km40r {

bool NaturalLess(const std::string& a, const std::string& b) {
    std::size_t i = 0, j = 0;
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    while (i < a.size() && j < b.size()) {
        if (digit(a[i]) && digit(b[j])) {
            std::size_t ei = i, ej = j;
            while (ei < a.size() && digit(a[ei]))
                ++ei;
            while (ej < b.size() && digit(b[ej]))
                ++ej;
            // Compare the values: without leading zeros, the longer is larger.
            std::size_t si = i, sj = j;
            while (si + 1 < ei && a[si] == '0')
                ++si;
            while (sj + 1 < ej && b[sj] == '0')
                ++sj;
            if (ei - si != ej - sj)
                return ei - si < ej - sj;
            const int c = a.compare(si, ei - si, b, sj, ej - sj);
            if (c != 0)
                return c < 0;
            if (ei - i != ej - j)
                return ei - i < ej - j;
            i = ei, j = ej;
        } else {
            if (a[i] != b[j])
                return a[i] < b[j];
            ++i, ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

std::vector<std::string> ListSerialPorts(const std::string& sysRoot) {
    namespace fs = std::filesystem;
    std::vector<std::string> ports;
    std::error_code ec;
    const fs::path root = fs::path(sysRoot) / "class" / "tty";
    for (fs::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path entry = it->path();
        std::error_code e2;
        if (!fs::exists(entry / "device", e2))
            continue; // no device behind it: a virtual terminal or console
        std::ifstream type(entry / "type");
        int uart = -1;
        if (type >> uart && uart == 0)
            continue; // a UART slot with no hardware found
        ports.push_back(entry.filename().string());
    }
    std::sort(ports.begin(), ports.end(), NaturalLess);
    return ports;
}

} // namespace km40r
