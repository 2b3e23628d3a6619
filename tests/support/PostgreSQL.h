#pragma once

// The PostgreSQL server of the tests (tests/support/postgresql-server.sh, started by CTest for the
// tests registered with a POSTGRESQL filter).

#include <QFile>
#include <QString>
#include <QUrl>
#include <QUrlQuery>
#include <QUuid>

namespace TestSupport {

/// The test server's URL (postgresql://qmf@/qmf?host=SOCKET_DIR), or an empty URL when the
/// program runs without one (outside CTest).
inline QUrl postgreSQLServerURL()
{
    const QByteArray state = qgetenv("QMF_TEST_POSTGRESQL");
    if (state.isEmpty())
        return QUrl();
    QFile file(QString::fromLocal8Bit(state) + QStringLiteral("/url"));
    if (!file.open(QIODevice::ReadOnly))
        return QUrl();
    return QUrl(QString::fromUtf8(file.readAll().trimmed()));
}

/// The test server's URL with a schema of its own (a new name on every call), for one store.
inline QUrl postgreSQLStoreURL()
{
    QUrl url = postgreSQLServerURL();
    if (url.isEmpty())
        return url;
    QUrlQuery query(url);
    query.addQueryItem(QStringLiteral("schema"),
                       QStringLiteral("t_") + QUuid::createUuid().toString(QUuid::Id128));
    url.setQuery(query);
    return url;
}

} // namespace TestSupport
