#pragma once

#include <QMFoundation/persistence/QMManagedObject.h>
#include <QMFoundation/persistence/QMManagedObjectContext.h>
#include <QMFoundation/persistence/QMManagedObjectModel.h>
#include <QMFoundation/persistence/QMPersistentStoreCoordinator.h>

#include <QDateTime>
#include <QUrl>

#include <ostream>

/// Test names and failures show texts as text.
inline void PrintTo(const QString &text, std::ostream *os)
{
    *os << '"' << text.toStdString() << '"';
}

/// Where a store is: a URL (a PostgreSQL store's) as it is, anything else a file path.
inline QUrl storeLocation(const QString &path)
{
    return path.contains(QStringLiteral("://")) ? QUrl(path) : QUrl::fromLocalFile(path);
}

/// The model the store tests use: every attribute type, a required indexed text.
inline QByteArray peopleModelJSON()
{
    return QByteArrayLiteral(R"({"name": "People", "version": 1, "entities": [
        {"name": "Person", "attributes": [
            {"name": "name", "type": "string", "optional": false, "indexed": true},
            {"name": "age", "type": "integer", "default": 0},
            {"name": "score", "type": "double"},
            {"name": "active", "type": "boolean", "default": true},
            {"name": "born", "type": "date"},
            {"name": "photo", "type": "binary"}]},
        {"name": "Note", "attributes": [{"name": "text", "type": "string"}]}]})");
}

/// The model class of the entity Person.
class Person : public QMManagedObject
{
    Q_OBJECT
    Q_PROPERTY(QString name READ name WRITE setName)
    Q_PROPERTY(qint64 age READ age WRITE setAge)
    Q_PROPERTY(double score READ score WRITE setScore)
    Q_PROPERTY(bool active READ active WRITE setActive)
    Q_PROPERTY(QDateTime born READ born WRITE setBorn)
    Q_PROPERTY(QByteArray photo READ photo WRITE setPhoto)

public:
    Q_INVOKABLE Person() = default;

    QString name() const { return value(QStringLiteral("name")).toString(); }
    void setName(const QString &v) { setValue(QStringLiteral("name"), v); }
    qint64 age() const { return value(QStringLiteral("age")).toLongLong(); }
    void setAge(qint64 v) { setValue(QStringLiteral("age"), v); }
    double score() const { return value(QStringLiteral("score")).toDouble(); }
    void setScore(double v) { setValue(QStringLiteral("score"), v); }
    bool active() const { return value(QStringLiteral("active")).toBool(); }
    void setActive(bool v) { setValue(QStringLiteral("active"), v); }
    QDateTime born() const { return value(QStringLiteral("born")).toDateTime(); }
    void setBorn(const QDateTime &v) { setValue(QStringLiteral("born"), v); }
    QByteArray photo() const { return value(QStringLiteral("photo")).toByteArray(); }
    void setPhoto(const QByteArray &v) { setValue(QStringLiteral("photo"), v); }
};
