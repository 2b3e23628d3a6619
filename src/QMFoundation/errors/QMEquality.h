#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

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

/// Text equality, code unit by code unit; a null text equals only a null text.
QMF_CORE_EXPORT bool QMEqualStrings(const QString &a, const QString &b);

/// Numeric equality across the numeric types: integers (signed, unsigned, and booleans as 0
/// and 1) compare exactly, a floating-point value against anything numeric compares as double.
/// NaN equals nothing. A value that is not a number is compared by QMEqualValues(), so a text
/// "1" never equals the number 1.
QMF_CORE_EXPORT bool QMEqualNumbers(const QVariant &a, const QVariant &b);

/// Equality of instants: the same point in time, whatever the time zones; a null date equals
/// only a null date.
QMF_CORE_EXPORT bool QMEqualDates(const QDateTime &a, const QDateTime &b);

/// Strict equality of two values; unlike QVariant's operator==, it never converts one type to
/// another. After the absent rule above:
/// - the null marker (QMNull()) equals only the null marker;
/// - numbers compare by value across the numeric types, as QMEqualNumbers() does;
/// - texts compare with QMEqualStrings(), byte arrays with QMEqualDataObjects(), dates
///   (QDateTime) as instants with QMEqualDates(), URLs with QMEqualURLs();
/// - lists (any sequential container that keeps an order: QVariantList, QStringList, QList<T>,
///   std::vector<T> ...) are equal when they have the same length and equal elements in order,
///   elements compared by these same rules, so a QStringList equals a QVariantList of the same
///   texts;
/// - maps (QVariantMap, QVariantHash, QMap, QHash ...) are equal when they have the same number
///   of entries and every key of one maps to an equal value in the other, keys and values
///   compared by these same rules;
/// - JSON values take part as what they hold: a QJsonValue as its number, text, boolean, list,
///   map or null marker (undefined is absent), a QJsonArray as a list, a QJsonObject as a map;
/// - every other type (including sets, which iterate in no particular order, and the CBOR
///   types) is equal only to a value of exactly the same type, by that type's own operator==.
/// Values of different kinds are never equal: (1, "1"), ("true", true) and (QString(), "")
/// are all unequal pairs.
QMF_CORE_EXPORT bool QMEqualValues(const QVariant &a, const QVariant &b);

/// Byte-for-byte equality; a null byte array equals only a null byte array.
QMF_CORE_EXPORT bool QMEqualDataObjects(const QByteArray &a, const QByteArray &b);

/// General equality of two values: the same rule as QMEqualValues().
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
