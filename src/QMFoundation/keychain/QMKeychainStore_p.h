#pragma once

// The store under the keychain classes: the item records both stores keep, and the operations
// the items use (lookup, add, update, delete), built once over a small backend interface that
// the desktop keyring (QMSecretServiceStore.cpp) and the keychain files (QMKeychainFile.cpp)
// implement.

#include <QMFoundation/QMFoundationStorageExport.h>

#include "QMFoundation/platform/QMDeadline_p.h"
#include <QMFoundation/keychain/QMKeychainError.h>
#include <QMFoundation/keychain/QMKeychainItem.h>
#include <QMFoundation/operations/QMAsync.h>

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QVariantMap>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

/// A status with what the store knows beyond its number: the failure in words (naming what
/// failed and the system's reason) and the keychain file concerned, for the error a caller gets.
struct QMKeychainResult
{
    OSStatus status = errSecSuccess;
    QString reason;
    QString path;

    QMKeychainResult(OSStatus resultStatus = errSecSuccess, QString resultReason = QString(),
                     QString resultPath = QString())
        : status(resultStatus)
        , reason(std::move(resultReason))
        , path(std::move(resultPath))
    { }
    bool ok() const { return status == errSecSuccess; }
    /// QMKeychainErrors::keychainError() of the three.
    QMError error() const;
};

/// A mutex whose lock waits until a deadline at most, for the transactions of the stores (used
/// through std::unique_lock). std::timed_mutex would do, but its timed wait
/// (pthread_mutex_clocklock) is invisible to ThreadSanitizer as GCC 12 ships it, which then reports
/// every unlock as a fault; a flag under a std::mutex and a condition variable it does follow.
class QMKeychainTimedMutex
{
public:
    bool try_lock_until(std::chrono::steady_clock::time_point deadline)
    {
        std::unique_lock lock(m_mutex);
        if (!m_free.wait_until(lock, deadline, [this] { return !m_held; }))
            return false;
        m_held = true;
        return true;
    }
    bool try_lock_for(std::chrono::milliseconds timeout)
    {
        return try_lock_until(QMDeadlineAfter(timeout));
    }
    void unlock()
    {
        {
            std::lock_guard lock(m_mutex);
            m_held = false;
        }
        m_free.notify_one();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_free;
    bool m_held = false;
};

/// One stored item: its class, its identity in the store, the typed attributes (every key of
/// the attribute table but class, label and the dates), the label, the password and the dates.
struct QMKeychainRecord
{
    QString itemClass;
    QString identifier;
    QVariantMap attributes;
    QString label;
    QByteArray secret;
    QDateTime created;
    QDateTime modified;
    friend bool operator==(const QMKeychainRecord &, const QMKeychainRecord &) = default;
};

namespace QMKeychainAttributes {

/// How an attribute is typed, stored in a file and written as text into the desktop keyring.
enum class Kind { Text, Integer, Boolean, Data };

/// The attributes a record holds in QMKeychainRecord::attributes, in a fixed order, with their
/// kinds; class, label, dates, password and reference are not among them.
QMF_STORAGE_EXPORT const QList<std::pair<QString, Kind>> &table();
/// The kind of a record attribute, or none for any other key.
QMF_STORAGE_EXPORT std::optional<Kind> kindOf(const QString &key);
/// The value as the attribute's kind holds it, or an invalid QVariant when it has another type.
QMF_STORAGE_EXPORT QVariant typedValue(Kind kind, const QVariant &value);
/// The text of a typed value: texts as they are, integers in decimal, "true"/"false", Base64.
QMF_STORAGE_EXPORT QString text(Kind kind, const QVariant &typed);
/// The typed value of a text, or an invalid QVariant when the text does not read as the kind.
QMF_STORAGE_EXPORT QVariant fromText(Kind kind, const QString &text);

} // namespace QMKeychainAttributes

/// The primitive operations of a store. Lookups return every record that may match, in the
/// store's order (oldest first); the shared code filters them exactly. transaction() runs one
/// library call as one step, within the time-out: a keychain file locks (shared to read,
/// exclusive to change), reads and writes itself around it; the desktop keyring cancels what is
/// still waiting for an answer at the deadline.
class QMKeychainBackend
{
public:
    enum class Access { Read, Write };

    virtual ~QMKeychainBackend() = default;
    virtual QMKeychainResult transaction(Access access,
                                         const std::function<QMKeychainResult()> &body)
            = 0;
    virtual QMKeychainResult search(const QVariantMap &match, QList<QMKeychainRecord> *records) = 0;
    /// Stores a new record; sets its identifier and dates.
    virtual QMKeychainResult create(QMKeychainRecord *record) = 0;
    /// Writes a record over the one with its identifier; sets its modification date.
    virtual QMKeychainResult replace(QMKeychainRecord *record) = 0;
    virtual QMKeychainResult erase(const QMKeychainRecord &record) = 0;
    /// The handle that item references carry (none for the desktop keyring).
    virtual QMKeychainRef handle() const = 0;
};

namespace QMKeychainStore {

/// The time-out of QMKeychain::setTimeout(): how long one call may wait for another process.
std::chrono::milliseconds timeout();
void setTimeout(std::chrono::milliseconds timeout);
/// The time-out in words for a message: "5 s", "1.5 s", "200 ms".
QString timeoutText(std::chrono::milliseconds timeout);

/// The cancellation of the asynchronous call this thread is running, or null (synchronous calls
/// have none and are never cancelled).
const QMAsync::Cancellation *currentCancellation();
/// True when the current call has a cancellation and it was cancelled.
bool isCanceled();
/// Makes `cancellation` this thread's current one while the scope lives; the asynchronous forms
/// run their synchronous call inside one, so that the store's waits and keyring calls see it.
class CancellationScope
{
public:
    explicit CancellationScope(const QMAsync::Cancellation &cancellation);
    ~CancellationScope();
    CancellationScope(const CancellationScope &) = delete;
    CancellationScope &operator=(const CancellationScope &) = delete;

private:
    const QMAsync::Cancellation *m_outer;
};
/// The result of a call that its caller cancelled: errSecUserCanceled. The asynchronous forms
/// turn it into a cancelled future; synchronous calls never get it.
QMKeychainResult canceled();

/// How a wait ended.
enum class Wait { Done, TimedOut, Canceled };
/// Calls `attempt(until)` - a wait that ends by `until` and says whether it got what it waited
/// for - until it does, `deadline` passes, or the current call is cancelled. With a current
/// cancellation the wait goes in slices of 20 ms, so that a cancel ends it within a slice.
Wait waitUntil(std::chrono::steady_clock::time_point deadline,
               const std::function<bool(std::chrono::steady_clock::time_point until)> &attempt);

/// Runs `call(QMError *)`, a synchronous call of the credential store, with QMAsync::run() inside
/// a CancellationScope: the future resolves with what the call returns and fails with the error it
/// filled in. A call ended by its cancel fills in canceled()'s error, which the cancelled future
/// does not take: it reads as cancelled, neither failed nor timed out.
template<typename Call>
auto runAsync(Call call)
{
    return QMAsync::run([call = std::move(call)](
                                QMError *error, const QMAsync::Cancellation &cancellation) mutable {
        const CancellationScope scope(cancellation);
        return call(error);
    });
}

/// The backend a query addresses: the file of QMKeychainUseKeychain, else the desktop keyring.
QMKeychainBackend &backendForQuery(const QVariantMap &query);
/// The desktop keyring's backend (a process-wide instance).
QMKeychainBackend &secretService();

QMKeychainResult copyMatching(const QVariantMap &query, QList<QVariantMap> *results);
QMKeychainResult add(const QVariantMap &query, QVariantMap *result);
/// update() and remove() refuse (errSecParam) a query that does not name one item: by its
/// reference, or by its class and every key attribute of the class.
QMKeychainResult update(const QVariantMap &query, const QVariantMap &changes);
QMKeychainResult remove(const QVariantMap &query);

/// The shared steps, on a given backend.
QMKeychainResult copyMatching(QMKeychainBackend &backend, const QVariantMap &query,
                              QList<QVariantMap> *results);
QMKeychainResult add(QMKeychainBackend &backend, const QVariantMap &query, QVariantMap *result);
QMKeychainResult update(QMKeychainBackend &backend, const QVariantMap &query,
                        const QVariantMap &changes);
QMKeychainResult remove(QMKeychainBackend &backend, const QVariantMap &query);

} // namespace QMKeychainStore
