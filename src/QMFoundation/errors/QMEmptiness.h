#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QByteArray>
#include <QString>
#include <QUrl>
#include <QVariant>

#include <optional>

// Emptiness tests that accept absent values. For Qt's value types "absent" is the null form
// (a null QString or QByteArray, an empty QUrl, an invalid QVariant); for containers whose
// absence differs from emptiness it is an empty std::optional.

/// True when the text is null or has length 0.
QMF_CORE_EXPORT bool QMStringIsEmpty(const QString &string);
/// True when the text is null, empty, or only white space and line breaks.
QMF_CORE_EXPORT bool QMStringIsEmptyOrWhiteSpaces(const QString &string);
/// True when the URL is absent or its absolute text is empty.
QMF_CORE_EXPORT bool QMURLIsEmpty(const QUrl &url);
/// True when the bytes are null or empty.
QMF_CORE_EXPORT bool QMDataIsEmpty(const QByteArray &data);

/// True when the list has no element.
template<typename List>
bool QMArrayIsEmpty(const List &list)
{
    return list.isEmpty();
}
/// True when the list is absent or has no element.
template<typename List>
bool QMArrayIsEmpty(const std::optional<List> &list)
{
    return !list || list->isEmpty();
}
/// True when the dictionary has no entry.
template<typename Map>
bool QMDictionaryIsEmpty(const Map &map)
{
    return map.isEmpty();
}
/// True when the dictionary is absent or has no entry.
template<typename Map>
bool QMDictionaryIsEmpty(const std::optional<Map> &map)
{
    return !map || map->isEmpty();
}
/// True when the set has no element.
template<typename Set>
bool QMSetIsEmpty(const Set &set)
{
    return set.isEmpty();
}
/// True when the set is absent or has no element.
template<typename Set>
bool QMSetIsEmpty(const std::optional<Set> &set)
{
    return !set || set->isEmpty();
}

/// True when the value is absent, the null marker, or a text of length 0: a QString, or a text
/// held by a QJsonValue or QCborValue (whose null and undefined count as absent, as for
/// QMIsEmpty()). An empty list or byte array is not an empty string.
QMF_CORE_EXPORT bool QMIsEmptyString(const QVariant &value);
/// True when the value is absent (an invalid QVariant, a null QObject pointer, JSON undefined, a
/// null QJsonDocument) or the null marker (also JSON null); or it has a length and that length
/// is 0; or, when it has no length or a non-zero length, it has an element count and that count
/// is 0. A value with neither a length nor a count (a number, a boolean, a date) is not empty.
///
/// Lengths: texts and byte arrays (also inside a QJsonValue or QCborValue), and the `length`
/// property of a QObject. Element counts: every container a QVariant can iterate (Qt and
/// standard sequential and associative containers), QJsonArray, QJsonObject, a QJsonDocument
/// or QJsonValue holding either, QCborArray, QCborMap, a QCborValue holding either, and the
/// `count` property of a QObject, or the row count of a QAbstractItemModel without one. A
/// property counts when it exists (declared or dynamic) and reads as a number.
QMF_CORE_EXPORT bool QMIsEmpty(const QVariant &value);
/// The negation of QMIsEmptyString().
QMF_CORE_EXPORT bool QMIsNotEmptyString(const QVariant &value);
/// The negation of QMIsEmpty().
QMF_CORE_EXPORT bool QMIsNotEmpty(const QVariant &value);
