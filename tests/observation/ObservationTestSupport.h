#pragma once

// Shared by the observation tests: event-loop helpers, a key-value target and a recorder of
// method calls.

#include "support/Failures.h"
#include <QMFoundation/observation/JXKVONotificationCategory.h>
#include <QMFoundation/observation/JXKVONotificationCenter.h>
#include <QMFoundation/observation/QMKeyValueObserving.h>
#include <QMFoundation/observation/QMNotificationCenter.h>
#include <QMFoundation/operations/QMOperationQueue.h>

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QPointer>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using TestSupport::failureOf;
using namespace Qt::StringLiterals;

/// Runs the calling thread's event loop until `condition` holds or `timeout` has passed;
/// returns the condition's last value. Wakes every few milliseconds for conditions that other
/// threads fulfil.
inline bool runEventsUntil(const std::function<bool()> &condition,
                           std::chrono::milliseconds timeout = 10s)
{
    const QDeadlineTimer deadline(timeout);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QTimer wake;
        wake.start(5);
        QAbstractEventDispatcher::instance()->processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

/// Runs the event loop for `duration`, for checks that something does not happen.
inline void runEventsFor(std::chrono::milliseconds duration)
{
    runEventsUntil([] { return false; }, duration);
}

inline JXKVONotificationCenter *kvoCenter()
{
    return JXKVONotificationCenter::defaultCenter();
}

inline const QString NewKey = QMKeyValueChangeNewKey;
inline const QString OldKey = QMKeyValueChangeOldKey;
inline constexpr quint64 NewAndOld = QMKeyValueObservingOptionNew | QMKeyValueObservingOptionOld;

/// A change record of kind "setting" with the given entries.
inline QVariantMap setting(std::initializer_list<std::pair<QString, QVariant>> entries = {})
{
    QVariantMap map {{QMKeyValueChangeKindKey, quint64(QMKeyValueChangeSetting)}};
    for (const auto &[key, value] : entries)
        map.insert(key, value);
    return map;
}

/// A key-value target: properties with NOTIFY signals (one with an argument, the others
/// without), an object-valued one for dotted key paths, and one without NOTIFY.
class KVOPerson : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString name READ name WRITE setName NOTIFY nameChanged)
    Q_PROPERTY(int age READ age WRITE setAge NOTIFY ageChanged)
    Q_PROPERTY(KVOPerson *partner READ partner WRITE setPartner NOTIFY partnerChanged)
    Q_PROPERTY(int counter READ counter NOTIFY counterChanged)
    Q_PROPERTY(QString species READ species CONSTANT)

public:
    QString name() const { return m_name; }
    void setName(const QString &name)
    {
        if (name != m_name)
            Q_EMIT nameChanged(m_name = name);
    }
    int age() const { return m_age; }
    void setAge(int age) { set(m_age, age, &KVOPerson::ageChanged); }
    KVOPerson *partner() const { return m_partner.load(); }
    void setPartner(KVOPerson *partner) { set(m_partner, partner, &KVOPerson::partnerChanged); }
    // Atomic, as the partner: the thread tests change them on one thread while others register
    // and read them.
    int counter() const { return m_counter.load(); }
    void bump() { set(m_counter, m_counter + 1, &KVOPerson::counterChanged); }
    QString species() const { return u"human"_s; }

Q_SIGNALS:
    void nameChanged(const QString &name);
    void ageChanged();
    void partnerChanged();
    void counterChanged();

private:
    template<typename Field, typename T>
    void set(Field &field, T value, void (KVOPerson::*signal)())
    {
        if (field != value) {
            field = value;
            Q_EMIT(this->*signal)();
        }
    }

    QString m_name;
    int m_age = 0;
    std::atomic<KVOPerson *> m_partner {nullptr};
    std::atomic<int> m_counter {0};
};

/// Records the calls of its methods from any thread: key-value messages (observeValue,
/// otherValue) and notification actions (handle, other).
class Recorder : public QObject
{
    Q_OBJECT

public:
    struct Call
    {
        QString method;
        QString keyPath;
        QObject *object = nullptr;
        QVariantMap change;
        QVariant userInfo;
        QMNotification notification;
        QThread *thread = nullptr;
    };

    Q_INVOKABLE void observeValue(const QString &keyPath, QObject *object,
                                  const QVariantMap &change, const QVariant &userInfo)
    {
        record({u"observeValue"_s, keyPath, object, change, userInfo, {}});
    }
    Q_INVOKABLE void handle(const QMNotification &n) { record({u"handle"_s, {}, {}, {}, {}, n}); }

    std::vector<Call> calls() const
    {
        std::lock_guard lock(m_mutex);
        return m_calls;
    }
    int count() const { return int(calls().size()); }

public Q_SLOTS:
    void otherValue(const QString &keyPath, QObject *object, const QVariantMap &change,
                    const QVariant &userInfo)
    {
        record({u"otherValue"_s, keyPath, object, change, userInfo, {}});
    }
    void other(QMNotification n) { record({u"other"_s, {}, {}, {}, {}, n}); }
    // Same name as a notification method, wrong arguments: must not be taken for one.
    void wrongArguments(const QString &) { }

private:
    void record(Call call)
    {
        call.thread = QThread::currentThread();
        std::lock_guard lock(m_mutex);
        m_calls.push_back(std::move(call));
    }

    mutable std::mutex m_mutex;
    std::vector<Call> m_calls;
};
