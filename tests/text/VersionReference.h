#pragma once

// Test-only: not part of the library. Shared by the version tests and the fuzz target.

#include <QMFoundation/text/QMVersionStringComparator.h>

#include <QString>
#include <QStringList>

#include <algorithm>
#include <string>

namespace VersionReference {

// The order written down as directly as possible from its rules, over the split parts, to
// check the comparator's in-place walk against.
inline qint64 referenceCompare(const QString &a, const QString &b)
{
    const QStringList x = QMVersionStringComparator::splitVersionString(a);
    const QStringList y = QMVersionStringComparator::splitVersionString(b);
    const qsizetype n = std::min(x.size(), y.size());
    const auto number = [](const QString &digits) {
        qint64 value = 0;
        for (QChar digit : digits)
            value = std::min<qint64>(value * 10 + digit.digitValue(), 2147483647);
        return value;
    };
    for (qsizetype i = 0; i < n; ++i) {
        const qint32 cx = QMVersionStringComparator::typeOfCharacter(x.at(i));
        const qint32 cy = QMVersionStringComparator::typeOfCharacter(y.at(i));
        if (cx != cy) {
            if (cx != 1 && cy == 1)
                return 1;
            if (cx == 1 && cy != 1)
                return -1;
            return cx == 0 ? 1 : -1;
        }
        if (cx == 1) {
            const std::u16string ux = x.at(i).toStdU16String();
            const std::u16string uy = y.at(i).toStdU16String();
            if (ux != uy)
                return ux < uy ? -1 : 1;
        } else if (cx == 0) {
            const qint64 vx = number(x.at(i));
            const qint64 vy = number(y.at(i));
            if (vx != vy)
                return vx < vy ? -1 : 1;
        }
    }
    if (x.size() == y.size())
        return 0;
    if (x.size() > y.size())
        return QMVersionStringComparator::typeOfCharacter(x.at(n)) == 1 ? -1 : 1;
    return QMVersionStringComparator::typeOfCharacter(y.at(n)) == 1 ? 1 : -1;
}

} // namespace VersionReference
