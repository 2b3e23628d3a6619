#pragma once

#include "QMFoundationCoreExport.h"

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
template<typename Set>
bool QMSetIsEmpty(const std::optional<Set> &set)
{
    return !set || set->isEmpty();
}

/// True when the value is absent, the null marker, or a text of length 0.
QMF_CORE_EXPORT bool QMIsEmptyString(const QVariant &value);
/// True when the value is absent or the null marker; or it has a length (text, bytes) that is 0;
/// or it has no length but an element count (list, map, any iterable) that is 0.
/// Numbers and other scalars are never empty.
QMF_CORE_EXPORT bool QMIsEmpty(const QVariant &value);
/// The negation of QMIsEmptyString().
QMF_CORE_EXPORT bool QMIsNotEmptyString(const QVariant &value);
/// The negation of QMIsEmpty().
QMF_CORE_EXPORT bool QMIsNotEmpty(const QVariant &value);
