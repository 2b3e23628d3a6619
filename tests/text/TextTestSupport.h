#pragma once

#include <QString>

#include <ostream>

// Lets GoogleTest print QStrings in failure messages instead of their raw bytes.
inline void PrintTo(const QString &string, std::ostream *out)
{
    *out << '"' << string.toStdString() << '"';
}
