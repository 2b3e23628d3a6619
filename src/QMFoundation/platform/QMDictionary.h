#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QVariantMap>

/// Helpers on dictionaries (QVariantMap). Emptiness is QMDictionaryIsEmpty() and the null marker
/// QMIsNull(), in errors/.
namespace QMDictionary {

/// True when `key` is among the keys of `dictionary` (whatever its value, an invalid one too).
QMF_CORE_EXPORT bool existsKey(const QVariantMap &dictionary, const QString &key);
/// A new dictionary: `dictionary` with the entries of `other` added over it (they win).
QMF_CORE_EXPORT QVariantMap dictionaryByAddingEntriesFromDictionary(const QVariantMap &dictionary,
                                                                    const QVariantMap &other);

/// Store `value` under `key`, boxed as a number of that kind (bool, qint64, quint64, double,
/// float).
QMF_CORE_EXPORT void setBool(QVariantMap &dictionary, bool value, const QString &key);
/// Stores `value` under `key` as a qint64.
QMF_CORE_EXPORT void setInteger(QVariantMap &dictionary, qint64 value, const QString &key);
/// Stores `value` under `key` as a quint64.
QMF_CORE_EXPORT void setUnsignedInteger(QVariantMap &dictionary, quint64 value, const QString &key);
/// Stores `value` under `key` as a double.
QMF_CORE_EXPORT void setDouble(QVariantMap &dictionary, double value, const QString &key);
/// Stores `value` under `key` as a float.
QMF_CORE_EXPORT void setFloat(QVariantMap &dictionary, float value, const QString &key);
// A string literal must not become a bool.
void setBool(QVariantMap &dictionary, const char *value, const QString &key) = delete;

} // namespace QMDictionary
