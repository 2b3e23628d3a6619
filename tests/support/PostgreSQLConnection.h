#pragma once

// A connection of a test's own to the PostgreSQL server of a store, as another program (or an
// administrator) has: to hold rows, change tables behind the store's back and end the store's
// server processes. Needs Qt SQL's PostgreSQL driver.

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QUrl>
#include <QUrlQuery>

#include <gtest/gtest.h>

#include <atomic>

namespace TestSupport {

class ServerConnection
{
public:
    /// Connects to the server and database of the store at `url` as its user.
    explicit ServerConnection(const QUrl &url)
        : m_url(url)
        , m_name(QStringLiteral("test-connection-%1").arg(++s_connections))
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), m_name);
        db.setHostName(QUrlQuery(url).queryItemValue(QStringLiteral("host"), QUrl::FullyDecoded));
        db.setDatabaseName(url.path().mid(1));
        db.setUserName(url.userName());
        EXPECT_TRUE(db.open()) << db.lastError().text().toStdString();
    }
    ~ServerConnection()
    {
        QSqlDatabase::database(m_name, false).close();
        QSqlDatabase::removeDatabase(m_name);
    }
    ServerConnection(const ServerConnection &) = delete;
    ServerConnection &operator=(const ServerConnection &) = delete;

    /// Runs `sql`; the first column of every row, as text.
    QStringList exec(const QString &sql)
    {
        QSqlQuery q(QSqlDatabase::database(m_name, false));
        QStringList column;
        EXPECT_TRUE(q.exec(sql)) << sql.toStdString() << ": " << q.lastError().text().toStdString();
        while (q.next())
            column.append(q.value(0).toString());
        return column;
    }

    /// A query of the server processes serving the store (which name themselves after its
    /// schema), for use as a subquery.
    QString storeBackends() const
    {
        return QStringLiteral("SELECT pid FROM pg_stat_activity WHERE application_name = 'qmf:%1'")
                .arg(QUrlQuery(m_url)
                             .queryItemValue(QStringLiteral("schema"))
                             .remove(QLatin1Char('\'')));
    }

    /// Ends every server process of the store, as a server restart or a network failure
    /// would; how many there were.
    qsizetype terminateStore()
    {
        return exec(QStringLiteral("SELECT pg_terminate_backend(pid) FROM (%1) AS store")
                            .arg(storeBackends()))
                .size();
    }

private:
    static inline std::atomic<int> s_connections {0};
    QUrl m_url;
    QString m_name;
};

} // namespace TestSupport
