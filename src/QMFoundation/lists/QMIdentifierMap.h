#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QHash>
#include <QString>

#include <memory>

/// Gives each distinct string a small positive number, the same number every time for the same
/// string, for the life of the map: 1 for the first string seen, 2 for the next distinct one, and
/// so on. 0 is never handed out, numbers are never reused and entries are never removed. Tree
/// nodes compare by these numbers, so that node equality is one integer comparison.
///
/// Any thread may call every function. The strings are kept in 64 shards, each behind its own
/// reader-writer lock: a known string costs one shared lock of its shard and one hash lookup, so
/// threads asking for different strings rarely meet; a new string takes its shard's exclusive
/// lock, looks again (another thread may have added it meanwhile) and draws the next number.
/// Two threads that present the same new string at once therefore get the same number, and the
/// count grows by one. Numbers follow the order in which strings are first seen; two strings first
/// seen at the same moment on different threads are numbered in either order.
class QMF_CORE_EXPORT QMIdentifierMap
{
public:
    QMIdentifierMap();
    ~QMIdentifierMap();
    QMIdentifierMap(const QMIdentifierMap &) = delete;
    QMIdentifierMap &operator=(const QMIdentifierMap &) = delete;

    /// The process-wide map, created on first use (safely under concurrent first calls) and kept
    /// until the process ends.
    static std::shared_ptr<QMIdentifierMap> sharedIdentifierMap();

    /// The string's number. Throws QMInternalInconsistencyException "Invalid parameter not
    /// satisfying: string" for a null string (an empty one is a string like any other).
    quint64 identifierForString(const QString &string);

    /// Every string seen so far with its number (a copy, taken under the locks).
    QHash<QString, quint64> identifierMap() const;
    /// Replaces every entry. The next new string gets maxIndex() + 1, so a caller that installs
    /// entries sets maxIndex() to their largest number (or higher) to keep numbers unique.
    void setIdentifierMap(const QHash<QString, quint64> &map);
    /// The largest number handed out so far; 0 before the first.
    quint64 maxIndex() const;
    /// Sets the largest number handed out; the next new string gets one more.
    void setMaxIndex(quint64 maxIndex);

private:
    class Private;
    std::unique_ptr<Private> d;
};
