#pragma once
// Texts between the models (std::string, UTF-8) and the widgets (QString).

#include <QString>

#include <string>

namespace corvan {

inline QString Q(const std::string& text) {
    return QString::fromStdString(text);
}

inline std::string S(const QString& text) {
    return text.toStdString();
}

} // namespace corvan
