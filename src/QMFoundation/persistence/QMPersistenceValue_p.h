#pragma once

// Value rules that every store must apply alike, so that a predicate or a sort gives the same
// objects in SQLite as in memory.

#include <QMFoundation/QMFoundationStorageExport.h>

#include <QMFoundation/errors/QMNull.h>
#include <QMFoundation/persistence/QMManagedObjectModel.h>

#include <QString>
#include <QVariant>

namespace QMPersistenceValue {

/// True for "no value": an invalid QVariant or the null marker.
inline bool isAbsent(const QVariant &value)
{
    return !value.isValid() || QMIsNull(value);
}

/// values.value(i) without the copy (an absent value past the end): every value of every
/// object that is saved, checked or bound is read through it.
inline const QVariant &valueAt(const QVariantList &values, qsizetype i)
{
    static const QVariant none;
    return i < values.size() ? values.at(i) : none;
}

/// Orders two values of one attribute type: <0, 0 or >0. Absent values come first and equal
/// each other; texts by Unicode code point (UTF-8 byte order, as SQLite's BINARY collation),
/// bytes by memcmp (as SQLite's BLOB order), dates by milliseconds, booleans as 0 and 1.
/// Both values must already have the type (QMAttributeDescription::convertedValue()).
QMF_STORAGE_EXPORT int compare(const QVariant &a, const QVariant &b, QMAttributeType type);

/// Whether two values of one attribute type differ by these rules (compare() != 0: an absent
/// value differs from every present one).
inline bool differs(const QVariant &a, const QVariant &b, QMAttributeType type)
{
    return compare(a, b, type) != 0;
}

/// Texts compared by Unicode code point; QString::compare() orders by UTF-16 code unit, which
/// puts U+10000 and above before U+E000..U+FFFF.
QMF_STORAGE_EXPORT int compareCodePoints(QStringView a, QStringView b);

/// The text for case-insensitive comparisons: full Unicode case folding ("Straße" and "STRASSE"
/// both fold to "strasse").
QMF_STORAGE_EXPORT QString folded(const QString &text);

/// The SQLite column value of an attribute value (dates as milliseconds since 1970 UTC,
/// booleans as 0 or 1, empty texts and bytes never null, which Qt SQL would bind as NULL); an
/// absent value is a null QVariant of no type. Texts lose their lone surrogates, U+FFFE and
/// U+FFFF to U+FFFD, as QMAttributeDescription::convertedValue() does: UTF-8 cannot hold the
/// first, and SQLite reads the other two back as U+FFFD.
QMF_STORAGE_EXPORT QVariant toStorage(const QVariant &value, QMAttributeType type);
/// Whether toStorage() keeps `text` as it is: it holds no lone surrogate, U+FFFE or U+FFFF.
QMF_STORAGE_EXPORT bool storesTextAsIs(QStringView text);
/// The attribute value of a SQLite column value.
QMF_STORAGE_EXPORT QVariant fromStorage(const QVariant &stored, QMAttributeType type);

} // namespace QMPersistenceValue
