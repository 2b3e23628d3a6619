// The SQLite store, on a Qt SQL connection, with a thread of its own.
//
// A Qt SQL connection may only be used by the thread that opened it, and must be closed and
// removed there too. The coordinator, though, calls its store from whichever thread its contexts
// run on (one call at a time, under its mutex), and the thread that removes the store need not be
// the one that added it. So the store owns one thread that opens the connection, runs every
// statement and finally closes and removes the connection; each call of the store interface hands
// that thread a job and waits for it, and rows and errors come back by value. The hand-over is
// std::mutex and std::condition_variable, which ThreadSanitizer can follow (it cannot see inside
// the distribution's Qt).

#include "QMFoundation/persistence/QMSQLiteConnection_p.h"

#include "QMFoundation/persistence/QMSQLiteSupport_p.h"
#include "QMFoundation/persistence/QMStoreBackend_p.h"
#include <QMFoundation/persistence/QMPersistenceError.h>
#include <QMFoundation/persistence/QMPredicate.h>

#include <functional>
#include <memory>

using namespace Qt::StringLiterals;
using QMSQLite::Connection;
using QMSQLite::StoreThread;

namespace {

class SQLiteStore final : public QMStoreBackend
{
public:
    SQLiteStore(std::shared_ptr<const QMManagedObjectModel> model, const QUrl &url,
                const QVariantMap &options)
        : m_model(std::move(model))
        , m_url(url)
        , m_timeout(QMStoreBackends::timeoutOf(options))
    { }
    ~SQLiteStore() override { close(); }

    QString identifier() const override { return m_identifier; }

    bool open(QMError *error)
    {
        bool ok = false;
        QMError failure;
        QString identifier;
        m_thread.run([&] {
            m_connection = std::make_unique<Connection>(m_model, m_url, m_timeout);
            ok = m_connection->open(&identifier, &failure);
            if (!ok)
                m_connection.reset();
        });
        if (!ok)
            return report(failure, error);
        m_identifier = identifier;
        return true;
    }

    bool fetch(const QMEntityDescription &entity, const QMPredicate &bound,
               const QList<QMFetchSortDescriptor> &sort, qsizetype limit, bool withValues,
               QList<QMStoreRow> *rows, QMError *error) override
    {
        // Compiled here, so that a broken precondition throws on the caller's thread.
        const QMPredicateSQL::Condition condition = QMPredicateSQL::compile(bound, entity);
        bool ok = false;
        QList<QMStoreRow> found;
        QMError failure;
        perform(
                [&](Connection &c) {
                    ok = c.fetch(entity, condition, sort, limit, withValues, &found, &failure);
                },
                &failure);
        *rows = std::move(found);
        return ok || report(failure, error);
    }

    qsizetype count(const QMEntityDescription &entity, const QMPredicate &bound,
                    QMError *error) override
    {
        const QMPredicateSQL::Condition condition = QMPredicateSQL::compile(bound, entity);
        qsizetype n = -1;
        QMError failure;
        perform([&](Connection &c) { n = c.count(entity, condition, &failure); }, &failure);
        if (n < 0)
            report(failure, error);
        return n;
    }

    bool readRow(const QMEntityDescription &entity, qint64 number, QVariantList *values,
                 QMError *error) override
    {
        bool found = false;
        QVariantList read;
        QMError failure;
        perform([&](Connection &c) { found = c.readRow(entity, number, &read, &failure); },
                &failure);
        if (found)
            *values = std::move(read);
        else if (!failure.isNull())
            report(failure, error);
        return found;
    }

    bool save(const QMStoreChanges &changes, QMStoreNumbers *numbers, QMError *error) override
    {
        bool ok = false;
        QMError failure;
        perform([&](Connection &c) { ok = c.save(changes, numbers, &failure); }, &failure);
        return ok || report(failure, error);
    }

    void close() override
    {
        m_thread.run([this] { m_connection.reset(); });
        m_thread.stop();
    }

private:
    // Runs `job` on the store thread; false with the error when the store is closed.
    bool perform(const std::function<void(Connection &)> &job, QMError *failure)
    {
        bool open = false;
        m_thread.run([&] {
            if (m_connection) {
                open = true;
                job(*m_connection);
            }
        });
        if (!open)
            *failure = QMStoreBackends::makeError(
                    QMPersistentStoreOperationError,
                    u"The store %1 is closed."_s.arg(m_url.toLocalFile()),
                    {{QMPersistentStoreURLErrorKey, m_url}});
        return open;
    }

    static bool report(const QMError &failure, QMError *error)
    {
        if (error)
            *error = failure;
        return false;
    }

    std::shared_ptr<const QMManagedObjectModel> m_model;
    QUrl m_url;
    int m_timeout;
    QString m_identifier; // set by open(), before any other call
    std::unique_ptr<Connection> m_connection; // used on the store thread only
    StoreThread m_thread; // last: it goes first, while the fields its jobs use still exist
};

} // namespace

std::unique_ptr<QMStoreBackend>
QMStoreBackends::openSQLite(const std::shared_ptr<const QMManagedObjectModel> &model,
                            const QUrl &url, const QVariantMap &options, QMError *error)
{
    auto store = std::make_unique<SQLiteStore>(model, url, options);
    if (!store->open(error))
        return nullptr;
    return store;
}
