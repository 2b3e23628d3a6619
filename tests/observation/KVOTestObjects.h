#pragma once

#include <QObject>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <atomic>
#include <mutex>
#include <vector>

// Sample classes for the key-value observation tests.

/// A target: properties with NOTIFY signals, an object-valued one for dotted key paths, and
/// properties that cannot be observed.
class KVOPerson : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString name READ name WRITE setName NOTIFY nameChanged)
    Q_PROPERTY(int age READ age WRITE setAge NOTIFY ageChanged)
    Q_PROPERTY(KVOPerson *partner READ partner WRITE setPartner NOTIFY partnerChanged)
    Q_PROPERTY(int counter READ counter WRITE setCounter NOTIFY counterChanged)
    Q_PROPERTY(QString species READ species CONSTANT)
    Q_PROPERTY(int shoeSize READ shoeSize WRITE setShoeSize)

public:
    using QObject::QObject;

    QString name() const { return m_name; }
    void setName(const QString &name)
    {
        if (name == m_name)
            return;
        m_name = name;
        Q_EMIT nameChanged(name);
    }
    int age() const { return m_age; }
    void setAge(int age)
    {
        if (age == m_age)
            return;
        m_age = age;
        Q_EMIT ageChanged();
    }
    KVOPerson *partner() const { return m_partner; }
    void setPartner(KVOPerson *partner)
    {
        if (partner == m_partner)
            return;
        m_partner = partner;
        Q_EMIT partnerChanged();
    }
    // Atomic: the thread tests change it on one thread while others register and read it.
    int counter() const { return m_counter.load(); }
    void setCounter(int counter)
    {
        m_counter.store(counter);
        Q_EMIT counterChanged();
    }
    void bump() { setCounter(counter() + 1); }
    QString species() const { return QStringLiteral("human"); }
    int shoeSize() const { return m_shoeSize; }
    void setShoeSize(int size) { m_shoeSize = size; }

Q_SIGNALS:
    void nameChanged(const QString &name);
    void ageChanged();
    void partnerChanged();
    void counterChanged();

private:
    QString m_name;
    int m_age = 0;
    KVOPerson *m_partner = nullptr;
    std::atomic<int> m_counter {0};
    int m_shoeSize = 0;
};

/// One message delivery as the recorder saw it.
struct KVOCall
{
    QString method;
    QString keyPath;
    QObject *object = nullptr;
    QVariantMap change;
    QVariant userInfo;
};

/// An observer that records the messages it receives (from any thread).
class KVORecorder : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    Q_INVOKABLE void observeValue(const QString &keyPath, QObject *object,
                                  const QVariantMap &change, const QVariant &userInfo)
    {
        record(QStringLiteral("observeValue"), keyPath, object, change, userInfo);
    }

    std::vector<KVOCall> calls() const
    {
        std::lock_guard lock(m_mutex);
        return m_calls;
    }
    size_t count() const
    {
        std::lock_guard lock(m_mutex);
        return m_calls.size();
    }

public Q_SLOTS:
    void otherValue(const QString &keyPath, QObject *object, const QVariantMap &change,
                    const QVariant &userInfo)
    {
        record(QStringLiteral("otherValue"), keyPath, object, change, userInfo);
    }

    // Same name, wrong arguments: must not be taken for a notification method.
    void wrongArguments(const QString &keyPath) { Q_UNUSED(keyPath); }

private:
    void record(const QString &method, const QString &keyPath, QObject *object,
                const QVariantMap &change, const QVariant &userInfo)
    {
        std::lock_guard lock(m_mutex);
        m_calls.push_back({method, keyPath, object, change, userInfo});
    }

    mutable std::mutex m_mutex;
    std::vector<KVOCall> m_calls;
};
