#pragma once
#include <QString>
#include <string>

namespace vorla {

// The behaviour classes hold UTF-8 text; the widgets show it as QString.
inline QString Q(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace vorla
