#include "app/cp1254_qt.h"

#include "core/cp1254.h"

#include <QList>

namespace km40r {

QString FromCp1254(std::string_view text) {
    QString out(static_cast<qsizetype>(text.size()), Qt::Uninitialized);
    QChar* d = out.data();
    for (std::size_t i = 0; i < text.size(); ++i)
        d[i] = QChar(Cp1254ToUnicode(static_cast<unsigned char>(text[i])));
    return out;
}

std::string ToCp1254(const QString& text) {
    std::string out;
    out.reserve(static_cast<std::size_t>(text.size()));
    for (const char32_t c : text.toUcs4()) {
        const int b = UnicodeToCp1254(c);
        out += b < 0 ? '?' : static_cast<char>(b);
    }
    return out;
}

} // namespace km40r
