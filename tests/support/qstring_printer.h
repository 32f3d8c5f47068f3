// Lets GoogleTest show a QString as its text in failed comparisons instead of
// its bytes. Every test program includes it (see tests/CMakeLists.txt).
#pragma once

#include <QString>
#include <ostream>

inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}
