// The boundary between widgets (QString) and the core's code page 1254 bytes.
#pragma once

#include <QString>
#include <string>
#include <string_view>

namespace km40r {

QString FromCp1254(std::string_view text);

// Characters with no byte in the code page become '?'.
std::string ToCp1254(const QString& text);

} // namespace km40r
