#pragma once

// Test-only: not part of the library. Shared by the separator tests and the fuzz target.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

namespace SeparatorReference {

// The splits written down byte by byte, as their definitions read, to hold the library's
// searching versions against.

inline QStringList componentsSeparatedByStringSequence(const QByteArray &data,
                                                       const QString &stringSequence)
{
    QStringList result;
    if (data.isEmpty())
        return result;
    const QByteArray separator = stringSequence.toUtf8();
    const qsizetype n = separator.size();
    QByteArray pending;
    for (char byte : data) {
        pending.append(byte);
        if (pending.size() >= n && pending.endsWith(separator)) {
            result.append(QString::fromUtf8(pending.left(pending.size() - n)));
            pending.clear();
        }
    }
    if (!pending.isEmpty())
        result.append(QString::fromUtf8(pending));
    return result;
}

inline QList<QByteArray> componentsSeparatedByChar(const QByteArray &data, char separator)
{
    QList<QByteArray> result;
    QByteArray current;
    for (qsizetype i = 0; i < data.size(); ++i) {
        const bool last = i == data.size() - 1;
        if (data.at(i) == separator || last) {
            if (last && data.at(i) != separator)
                current.append(data.at(i));
            if (!current.isEmpty()) {
                result.append(current);
                current.clear();
            }
        } else {
            current.append(data.at(i));
        }
    }
    return result;
}

} // namespace SeparatorReference
