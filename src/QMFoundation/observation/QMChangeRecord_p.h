#pragma once

#include <QString>
#include <QVariant>
#include <QVariantMap>

// The entries of a change record are looked up at every delivery. The records the observation
// layer makes take their keys from the QMKeyValueChange...Key constants, so an entry's key
// shares its characters with the constant; a record has at most five entries, and comparing
// the characters' address is cheaper than the ordered lookup's string comparisons. A record
// made elsewhere (its keys typed anew) falls back to that lookup.

/// Whether `a` and `b` share their characters (and so are equal): false says nothing.
inline bool QMSameChangeRecordKey(const QString &a, const QString &b)
{
    return a.constData() == b.constData() && a.size() == b.size();
}

/// The entry of `record` under `key` (one of the QMKeyValueChange...Key constants), or null.
inline const QVariant *QMChangeRecordEntry(const QVariantMap &record, const QString &key)
{
    for (auto it = record.constBegin(), end = record.constEnd(); it != end; ++it) {
        if (QMSameChangeRecordKey(it.key(), key))
            return &it.value();
    }
    const auto found = record.constFind(key);
    return found == record.constEnd() ? nullptr : &found.value();
}

/// Swaps `value` with the entry of `record` under `key` (one of the QMKeyValueChange...Key
/// constants), which is added if it is missing; `value` is left with what the entry held. A
/// swap, as QVariant's out-of-line assignments cost several times as much.
inline void QMSwapIntoChangeRecord(QVariantMap &record, const QString &key, QVariant &value)
{
    if (record.isDetached()) {
        for (auto it = record.begin(), end = record.end(); it != end; ++it) {
            if (QMSameChangeRecordKey(it.key(), key)) {
                it.value().swap(value);
                return;
            }
        }
    }
    record[key].swap(value);
}
