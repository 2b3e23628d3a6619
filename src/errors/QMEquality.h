#pragma once

#include "QMFoundationCoreExport.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QUrl>
#include <QVariant>

#include <memory>

// Equality tests that accept absent values on either side: two absent values are equal, an
// absent value never equals a present one. Absent means the null form of the type (a null
// QString, QByteArray or QDateTime, an empty QUrl, an invalid QVariant, a null pointer).
// Note that Qt itself treats a null QString as equal to an empty one; these functions do not.

QMF_CORE_EXPORT bool QMEqualStrings(const QString &a, const QString &b);
/// Numeric equality: integers compare exactly, mixed integer and floating values as doubles.
QMF_CORE_EXPORT bool QMEqualNumbers(const QVariant &a, const QVariant &b);
QMF_CORE_EXPORT bool QMEqualDates(const QDateTime &a, const QDateTime &b);
QMF_CORE_EXPORT bool QMEqualValues(const QVariant &a, const QVariant &b);
QMF_CORE_EXPORT bool QMEqualDataObjects(const QByteArray &a, const QByteArray &b);
QMF_CORE_EXPORT bool QMEqualObjects(const QVariant &a, const QVariant &b);
/// Compares the URLs' absolute texts with QMEqualStrings().
QMF_CORE_EXPORT bool QMEqualURLs(const QUrl &a, const QUrl &b);

/// Equality of shared objects: the same instance, or equal by the class's operator==.
template<typename T>
bool QMEqualObjects(const std::shared_ptr<T> &a, const std::shared_ptr<T> &b)
{
    if (!b)
        return !a;
    if (a == b)
        return true;
    return a && *a == *b;
}
